// The platform of a change journal or a transaction log collected apart
// and listed without a volume: the stream is its only evidence; paths go
// to the host.
#include <memory>
#include <string>

#include "probe/image/volume-platform.h"
#include "probe/witnesses/logfile/logfile-part.h"
#include "probe/witnesses/usn/usn-journal.h"
#include "probe/witnesses/usn/usn-part.h"

namespace qst {
namespace {

// Lists a journal or a log collected apart, without a volume.
class JournalPlatform : public Platform, public Evidence {
 public:
  JournalPlatform(std::unique_ptr<VolumeReader> file, std::string name, bool log, Platform& host)
      : file_(std::move(file)), name_(std::move(name)), log_(log), host_(host) {}

  Evidence* VolumeEvidence() override { return this; }
  void ProbeSnapshots(const std::string&, const DirEntry*, const RawFileInfo*,
                      std::vector<RawFileInfo>*) override {}
  std::optional<std::uint64_t> VolumeSerial() const override { return std::nullopt; }

  bool ForEachListed(Witness witness, const ListingVisitor& visit) override {
    if (witness != (log_ ? Witness::kLog : Witness::kUsn)) return false;
    if (log_) {
      return ListLogFile(
          nullptr, file_.get(),
          [&](const LogRecord& r, std::uint64_t target) { visit(ListedRecord::Log(r, target)); },
          &scan_);
    }
    bool read = true;
    damaged_ = ReadUsnStream(
        *file_, [&](const UsnRecord& r) { visit(ListedRecord::Journal(r, {})); }, &read);
    unreadable_ = !read;
    return true;
  }
  std::string LossReport() const override {
    return log_ ? DescribeLogRead(name_, true, scan_)
                : DescribeJournalDamage(name_, damaged_, unreadable_);
  }

  int Probe(const std::string& path, RawFileInfo* info) override { return host_.Probe(path, info); }
  int OpenSearch(const std::string& pattern, std::unique_ptr<DirSearch>* search) override {
    return host_.OpenSearch(pattern, search);
  }
  int OpenList(const std::string& path, std::unique_ptr<ByteSource>* source) override {
    return host_.OpenList(path, source);
  }
  std::string ErrorText(int code) override { return host_.ErrorText(code); }
  int NameTooLongCode() const override { return host_.NameTooLongCode(); }
  char Separator() const override { return host_.Separator(); }
  bool IsVolumeRoot(std::string_view path) const override { return host_.IsVolumeRoot(path); }
  bool ToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME* local) const override {
    return host_.ToLocalTime(utc, local);
  }
  std::string ZoneName() const override { return host_.ZoneName(); }

 private:
  std::unique_ptr<VolumeReader> file_;
  std::string name_;
  bool log_;  // a $LogFile, not a $J stream
  Platform& host_;
  LogFileScan scan_;
  std::uint64_t damaged_ = 0;
  bool unreadable_ = false;
};

}  // namespace

std::unique_ptr<Platform> MakeJournalPlatform(std::unique_ptr<VolumeReader> file, std::string name,
                                              bool log, Platform& host) {
  return std::make_unique<JournalPlatform>(std::move(file), std::move(name), log, host);
}

}  // namespace qst
