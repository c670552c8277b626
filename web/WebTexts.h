#pragma once
// The texts of the web pages in both languages. Most come from the program's
// own tables (the main window's texts, the catalogue, the log viewers'
// column titles); the few the pages alone need are kept here as data.

#include <cstdint>
#include <string>

namespace tessaro::web {

// Every text a page shows, as one JSON object keyed by name, in the
// language (1 Chinese, anything else English).
std::string PageTextsJson(int language);

// The measured values as the pages show them, from the measure catalogue:
// {"boxes":[..],"columns":[..],"charts":[..]}. Boxes are the device page's
// value boxes of the values the protocol reports; columns the overview's
// value columns; charts the device page's trends (titles are text names).
// A field is {"key","caption","unit","decimals","divisor"}: the JSON value
// `key` divided by `divisor`, shown with `decimals`.
std::string PageFieldsJson(int language, uint8_t protocol);

// A page-only text by key ("" for an unknown key).
std::string PageText(const char* key, int language);

}  // namespace tessaro::web
