// Line ends of the texts the window's logic hands its view: the log and the
// message texts end their lines in CR LF. A display that ends lines in LF
// alone (the Qt text widgets, a console) converts at its edge with these.
#pragma once
#include <string>
#include <string_view>

// Each CR LF pair as LF; a CR on its own stays.
std::string CrLfToLf(std::string_view strText);
// Each LF as CR LF.
std::string LfToCrLf(std::string_view strText);
