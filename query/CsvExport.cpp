#include "query/CsvExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
}  // namespace

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

namespace {

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
    // The disk starts on each piece while the next is converted, so the
    // sync at the end waits for the last pieces only. A hint: its failure
    // changes nothing, the sync still covers everything.
    ::sync_file_range(FFd, static_cast<off_t>(FWritten), static_cast<off_t>(bytes.size()), SYNC_FILE_RANGE_WRITE);
    FWritten += bytes.size();
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
  uint64_t FWritten = 0;
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

TCsvWriter::TCsvWriter(TCsvEncoding encoding, const TCsvSink& sink) : FEncoding(encoding), FSink(sink) {
  FOut.reserve(FlushBytes + 4096);
  if (encoding == TCsvEncoding::Utf8Bom) FOut += "\xEF\xBB\xBF";
}

TCsvWriter::~TCsvWriter() = default;

void TCsvWriter::Put(std::string_view text) {
  if (FEncoding == TCsvEncoding::Gbk && !IsAscii(text)) {
    if (!FGbk) FGbk = std::make_unique<TGbkCache>();
    // GBK trail bytes are never ',' '"' CR or LF: quoting is decided on
    // the UTF-8 text and applies to the GBK bytes unchanged.
    if (NeedsQuotes(text)) {
      std::string quoted;
      AppendCsvCell(text, quoted);
      quoted.pop_back();
      FOut += FGbk->Convert(quoted);
    } else {
      FOut += FGbk->Convert(text);
    }
    FOut += ',';
  } else {
    AppendCsvCell(text, FOut);
  }
}

std::error_code TCsvWriter::EndLine() {
  FOut += "\r\n";
  ++FLines;
  if (FOut.size() < FlushBytes) return {};
  return Flush();
}

std::error_code TCsvWriter::Flush() {
  const std::error_code ec = FSink(FOut);
  FOut.clear();
  return ec;
}

std::error_code TCsvWriter::Titles(const TLogTable& table) {
  for (int c = 0; c < table.ColumnCount(); ++c) Put(table.Title(c));
  return EndLine();
}

std::error_code TCsvWriter::Rows(const TLogTable& table, size_t first, size_t end) {
  const bool plain = table.PlainCells();
  std::string cell;
  for (size_t row = first; row < end; ++row) {
    if (plain) {
      table.AppendRow(row, FOut);
    } else {
      for (int c = 0; c < table.ColumnCount(); ++c) {
        cell.clear();
        table.AppendCell(row, c, cell);
        Put(cell);
      }
    }
    if (const std::error_code ec = EndLine()) return ec;
  }
  return {};
}

std::error_code TCsvWriter::EmptyRows(const TLogTable& table, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    FOut.append(static_cast<size_t>(table.ColumnCount()), ',');
    if (const std::error_code ec = EndLine()) return ec;
  }
  return {};
}

TExportResult WriteCsv(const TLogTable& table, TCsvEncoding encoding, const TCsvSink& sink,
                       const TProgressFn& progress) {
  const uint64_t total = table.GridRows();
  const uint64_t recordLines = table.RowCount() + 1;  // the title and the records
  TCsvWriter writer(encoding, sink);
  std::error_code ec = writer.Titles(table);
  // In runs that end where progress is due, so it comes every few thousand lines.
  while (!ec && writer.Lines() < total) {
    const uint64_t end = std::min(total, (writer.Lines() / ProgressEvery + 1) * ProgressEvery);
    if (writer.Lines() < recordLines)
      ec = writer.Rows(table, static_cast<size_t>(writer.Lines() - 1),
                       static_cast<size_t>(std::min(end, recordLines) - 1));
    if (!ec && writer.Lines() < end) ec = writer.EmptyRows(table, end - writer.Lines());
    if (!ec && progress && writer.Lines() % ProgressEvery == 0 && !progress(writer.Lines(), total)) {
      TExportResult r;
      r.Status = TExportStatus::Cancelled;
      r.Lines = writer.Lines();
      return r;
    }
  }
  if (!ec) ec = writer.Flush();
  if (ec) return Failed(TExportStage::Write, ec, writer.Lines());
  TExportResult r;
  r.Lines = writer.Lines();
  r.Rows = table.RowCount();
  return r;
}

namespace {
// The target checked, the bytes of `write` into a temporary file beside it,
// synced and renamed onto it.
TExportResult WriteFile(const std::string& path, const std::function<TExportResult(const TCsvSink&)>& write) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Failed(TExportStage::Target,
                  std::make_error_code(S_ISDIR(st.st_mode) ? std::errc::is_a_directory : std::errc::invalid_argument),
                  0);
  TTempFile file;
  if (const std::error_code ec = file.Create(path)) return Failed(TExportStage::Create, ec, 0);
  TExportResult r = write([&file](const std::string& bytes) { return file.Write(bytes); });
  if (r.Status != TExportStatus::Done) return r;
  if (const std::error_code ec = file.SyncAndClose()) return Failed(TExportStage::Sync, ec, r.Lines);
  if (const std::error_code ec = file.RenameTo(path)) return Failed(TExportStage::Rename, ec, r.Lines);
  return r;
}
}  // namespace

TExportResult ExportCsv(const TLogTable& table, const std::string& path, TCsvEncoding encoding,
                        const TProgressFn& progress) {
  TExportResult r =
      WriteFile(path, [&](const TCsvSink& sink) { return WriteCsv(table, encoding, sink, progress); });
  if (r.Status == TExportStatus::Done && progress) progress(r.Lines, table.GridRows());
  return r;
}

TExportResult ExportCsvInBlocks(const TLogTable& table, const TBlockReader& read, const std::string& path,
                                TCsvEncoding encoding) {
  return WriteFile(path, [&](const TCsvSink& sink) {
    TCsvWriter writer(encoding, sink);
    std::error_code ec = writer.Titles(table);
    if (ec) return Failed(TExportStage::Write, ec, writer.Lines());
    uint64_t rows = 0;
    const std::error_code readError = read([&] {
      rows += table.RowCount();
      ec = writer.Rows(table, 0, table.RowCount());
      return !ec;
    });
    if (ec) return Failed(TExportStage::Write, ec, writer.Lines());
    if (readError) return Failed(TExportStage::Read, readError, writer.Lines());
    const uint64_t lines = writer.Lines();
    if (lines < table.MinGridRows()) ec = writer.EmptyRows(table, table.MinGridRows() - lines);
    if (!ec) ec = writer.Flush();
    if (ec) return Failed(TExportStage::Write, ec, writer.Lines());
    TExportResult r;
    r.Lines = writer.Lines();
    r.Rows = rows;
    return r;
  });
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
    case TExportStage::Read: what = zh ? "不能读取日志, 目标" : "cannot read the log for"; break;
    case TExportStage::None: break;
  }
  std::string reason = result.Error.message();
  if (result.Error == std::errc::invalid_argument && result.Stage == TExportStage::Target)
    reason = zh ? "它不是普通文件" : "it is not a regular file";
  return zh ? "汇出失败, " + what + ": " + path + ": " + reason + "。未写入任何文件。"
            : "Export failed: " + what + " " + path + ": " + reason + ". Nothing was written.";
}

}  // namespace tessaro
