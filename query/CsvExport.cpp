#include "query/CsvExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <unordered_map>

#include "core/Gbk.h"

namespace tessaro {

namespace {

constexpr size_t FlushBytes = size_t{1} << 20;
constexpr uint64_t ProgressEvery = 4096;

bool NeedsQuotes(std::string_view s) {
  for (const char c : s)
    if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
  return false;
}

bool IsAscii(std::string_view s) {
  for (const char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// UTF-8 to GBK, a character GBK lacks becoming "?". Texts repeat (titles,
// event texts), so each is converted once.
class TGbkCache {
 public:
  const std::string& Convert(std::string_view utf8) {
    auto it = FCache.find(std::string(utf8));
    if (it != FCache.end()) return it->second;
    std::string out;
    if (auto whole = Utf8ToGbk(utf8)) {
      out = std::move(*whole);
    } else {
      size_t i = 0;
      while (i < utf8.size()) {
        const unsigned char lead = static_cast<unsigned char>(utf8[i]);
        const size_t len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        const auto one = Utf8ToGbk(utf8.substr(i, len));
        out += one ? *one : std::string("?");
        i += len;
      }
    }
    return FCache.emplace(std::string(utf8), std::move(out)).first->second;
  }

 private:
  std::unordered_map<std::string, std::string> FCache;
};

class TTempFile {
 public:
  ~TTempFile() { Discard(); }
  // A new file beside `target`, named after it, with the mode a plain
  // create would give it.
  std::error_code Create(const std::string& target) {
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(rd()));
      const std::string name = dir + "." + base + ".part-" + suffix;
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        FFd = fd;
        FPath = name;
        return {};
      }
      if (errno != EEXIST) return {errno, std::generic_category()};
    }
    return std::make_error_code(std::errc::file_exists);
  }
  std::error_code Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(FFd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return {errno, std::generic_category()};
      if (n == 0) return std::make_error_code(std::errc::no_space_on_device);
      done += static_cast<size_t>(n);
    }
    return {};
  }
  // The data on disk before the name replaces an older file.
  std::error_code SyncAndClose() {
    std::error_code ec;
    if (::fsync(FFd) != 0) ec = {errno, std::generic_category()};
    if (::close(FFd) != 0 && !ec) ec = {errno, std::generic_category()};
    FFd = -1;
    return ec;
  }
  std::error_code RenameTo(const std::string& target) {
    if (::rename(FPath.c_str(), target.c_str()) != 0) return {errno, std::generic_category()};
    FPath.clear();
    return {};
  }
  void Discard() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
    if (!FPath.empty()) ::unlink(FPath.c_str());
    FPath.clear();
  }

 private:
  int FFd = -1;
  std::string FPath;
};

TExportResult Failed(TExportStage stage, std::error_code ec, uint64_t lines) {
  TExportResult r;
  r.Status = TExportStatus::Failed;
  r.Stage = stage;
  r.Error = ec;
  r.Lines = lines;
  return r;
}

}  // namespace

std::string CsvFileName(const std::string& chosen) {
  return chosen.find(".csv") == std::string::npos ? chosen + ".csv" : chosen;
}

void AppendCsvCell(std::string_view utf8, std::string& line) {
  if (!NeedsQuotes(utf8)) {
    line.append(utf8);
  } else {
    line += '"';
    for (const char c : utf8) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
  }
  line += ',';
}

TExportResult WriteCsv(const TLogTable& table, TCsvEncoding encoding, const TCsvSink& sink,
                       const TProgressFn& progress) {
  const int columns = table.ColumnCount();
  const uint64_t total = table.GridRows();
  const size_t rows = table.RowCount();
  TGbkCache gbk;
  std::string out;
  out.reserve(FlushBytes + 4096);
  if (encoding == TCsvEncoding::Utf8Bom) out += "\xEF\xBB\xBF";
  std::string cell;
  auto put = [&](std::string_view text) {
    if (encoding == TCsvEncoding::Gbk && !IsAscii(text)) {
      // GBK trail bytes are never ',' '"' CR or LF: quoting is decided on
      // the UTF-8 text and applies to the GBK bytes unchanged.
      if (NeedsQuotes(text)) {
        std::string quoted;
        AppendCsvCell(text, quoted);
        quoted.pop_back();
        out += gbk.Convert(quoted);
        out += ',';
      } else {
        out += gbk.Convert(text);
        out += ',';
      }
    } else {
      AppendCsvCell(text, out);
    }
  };
  const bool plain = table.PlainCells();
  uint64_t lines = 0;
  for (uint64_t line = 0; line < total; ++line) {
    if (plain && line > 0) {
      table.AppendRow(static_cast<size_t>(line - 1), out);
    } else {
      for (int c = 0; c < columns; ++c) {
        cell.clear();
        if (line == 0) {
          cell = table.Title(c);
        } else if (line - 1 < rows) {
          table.AppendCell(static_cast<size_t>(line - 1), c, cell);
        }
        put(cell);
      }
    }
    out += "\r\n";
    ++lines;
    if (out.size() >= FlushBytes) {
      if (const std::error_code ec = sink(out)) return Failed(TExportStage::Write, ec, lines);
      out.clear();
    }
    if (progress && (lines % ProgressEvery == 0) && !progress(lines, total)) {
      TExportResult r;
      r.Status = TExportStatus::Cancelled;
      r.Lines = lines;
      return r;
    }
  }
  if (const std::error_code ec = sink(out)) return Failed(TExportStage::Write, ec, lines);
  TExportResult r;
  r.Lines = lines;
  return r;
}

TExportResult ExportCsv(const TLogTable& table, const std::string& path, TCsvEncoding encoding,
                        const TProgressFn& progress) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Failed(TExportStage::Target,
                  std::make_error_code(S_ISDIR(st.st_mode) ? std::errc::is_a_directory : std::errc::invalid_argument),
                  0);
  TTempFile file;
  if (const std::error_code ec = file.Create(path)) return Failed(TExportStage::Create, ec, 0);
  TExportResult r = WriteCsv(
      table, encoding, [&file](const std::string& bytes) { return file.Write(bytes); }, progress);
  if (r.Status != TExportStatus::Done) return r;
  if (const std::error_code ec = file.SyncAndClose()) return Failed(TExportStage::Sync, ec, r.Lines);
  if (const std::error_code ec = file.RenameTo(path)) return Failed(TExportStage::Rename, ec, r.Lines);
  if (progress) progress(r.Lines, table.GridRows());
  return r;
}

std::string DescribeExportFailure(const TExportResult& result, const std::string& path, int language) {
  const bool zh = language == 1;
  if (result.Status == TExportStatus::Cancelled) return zh ? "汇出已取消。" : "The export was cancelled.";
  if (result.Status == TExportStatus::Done) return {};
  std::string what;
  switch (result.Stage) {
    case TExportStage::Target: what = zh ? "不能写入该文件" : "cannot write to"; break;
    case TExportStage::Create: what = zh ? "不能在该目录创建文件" : "cannot create a file beside"; break;
    case TExportStage::Write:
    case TExportStage::Sync: what = zh ? "写入失败" : "writing failed for"; break;
    case TExportStage::Rename: what = zh ? "不能替换该文件" : "cannot replace"; break;
    case TExportStage::None: break;
  }
  std::string reason = result.Error.message();
  if (result.Error == std::errc::invalid_argument && result.Stage == TExportStage::Target)
    reason = zh ? "它不是普通文件" : "it is not a regular file";
  return zh ? "汇出失败, " + what + ": " + path + ": " + reason + "。未写入任何文件。"
            : "Export failed: " + what + " " + path + ": " + reason + ". Nothing was written.";
}

}  // namespace tessaro
