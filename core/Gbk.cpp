#include "core/Gbk.h"

#include <iconv.h>

#include <cerrno>

namespace tessaro {

namespace {
class TIconv {
 public:
  TIconv(const char* to, const char* from) : FCd(iconv_open(to, from)) {}
  ~TIconv() {
    if (FCd != reinterpret_cast<iconv_t>(-1)) iconv_close(FCd);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;
  bool Ok() const { return FCd != reinterpret_cast<iconv_t>(-1); }
  // Converts one step; returns false on an invalid or incomplete sequence.
  bool Step(const char*& in, size_t& inLeft, std::string& out) {
    char buf[256];
    char* outPtr = buf;
    size_t outLeft = sizeof buf;
    char* inPtr = const_cast<char*>(in);
    const size_t r = iconv(FCd, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buf, static_cast<size_t>(outPtr - buf));
    in = inPtr;
    return r != static_cast<size_t>(-1) || errno == E2BIG;
  }

 private:
  iconv_t FCd;
};
}  // namespace

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  TIconv cv("GBK", "UTF-8");
  if (!cv.Ok()) return std::nullopt;
  std::string out;
  const char* in = utf8.data();
  size_t left = utf8.size();
  while (left > 0)
    if (!cv.Step(in, left, out)) return std::nullopt;
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  TIconv cv("UTF-8", "GBK");
  std::string out;
  if (!cv.Ok()) return out;
  const char* in = gbk.data();
  size_t left = gbk.size();
  while (left > 0) {
    if (!cv.Step(in, left, out)) {
      out += "\xEF\xBF\xBD";
      ++in;
      --left;
    }
  }
  return out;
}

int GbkLength(std::string_view utf8) {
  const auto gbk = Utf8ToGbk(utf8);
  return gbk ? static_cast<int>(gbk->size()) : -1;
}

}  // namespace tessaro
