#pragma once
// A small JSON writer for the listener's answers: values are appended in
// order, strings escaped, numbers written so that JSON can read them.

#include <string>
#include <string_view>

namespace tessaro::web {

class TJson {
 public:
  TJson& BeginObject();
  TJson& EndObject();
  TJson& BeginArray();
  TJson& EndArray();
  // The key of the next value inside an object.
  TJson& Key(std::string_view key);
  TJson& String(std::string_view value);
  TJson& Number(double value);  // not finite: null
  TJson& Integer(long long value);
  TJson& Bool(bool value);
  TJson& Null();
  // A value already written as JSON (a number formatted elsewhere).
  TJson& Raw(std::string_view json);

  const std::string& Text() const { return FOut; }
  std::string Take() { return std::move(FOut); }

 private:
  void Separate();
  std::string FOut;
  bool FFirst = true;  // no value yet at this level
  bool FAfterKey = false;
};

// `value` as a JSON string literal, quotes included. Bytes that are not
// UTF-8 become U+FFFD.
void AppendJsonString(std::string_view value, std::string& out);

}  // namespace tessaro::web
