#pragma once
// The texts of the web pages in both languages. Most come from the program's
// own tables (the main window's texts, the catalogue, the log viewers'
// column titles); the few the pages alone need are kept here as data.

#include <string>

namespace tessaro::web {

// Every text a page shows, as one JSON object keyed by name, in the
// language (1 Chinese, anything else English).
std::string PageTextsJson(int language);

// A page-only text by key ("" for an unknown key).
std::string PageText(const char* key, int language);

}  // namespace tessaro::web
