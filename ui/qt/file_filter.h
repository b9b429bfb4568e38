// The open-file dialog's filter: the window logic describes it the classic
// way, "Description (*.ext)|*.ext|Other|*.a;*.b||" (pairs of a description
// and a pattern list, ';' between patterns), Qt wants one "Description
// (patterns)" entry per pair with blanks between the patterns.
#pragma once
#include <QStringList>
#include <string>

// One Qt filter per pair, in order. Qt takes the patterns from the
// parentheses at the end of an entry, so a description that ends in
// parentheses gets the pair's real patterns inside them ("Text Script File
// (*.txt)" stays as it is), and any other description gets them appended.
// A pair with no pattern is dropped; the list ends at the first empty pair.
QStringList ConvertFileFilter(const std::string& strFilter);
