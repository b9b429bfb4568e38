#include "ui/dialog_template.h"

std::vector<std::string> TemplateListItems(int nId) {
  std::vector<std::string> items;
  if (nId == IDC_INTERFACE_LIST) {
    items.assign(std::begin(kInterfaceItems), std::end(kInterfaceItems));
  } else if (nId == IDC_BAUD_LIST) {
    for (int nRate : kBaudTable) items.push_back(std::to_string(nRate));
  }
  return items;
}
