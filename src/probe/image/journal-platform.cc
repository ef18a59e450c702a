// The platform of a change journal or a transaction log collected apart
// and listed without a volume: the stream is its only evidence; paths go
// to the host.
#include <memory>
#include <string>

#include "probe/image/volume-platform.h"
#include "probe/witnesses/parts.h"

namespace qst {
namespace {

// Lists a journal or a log collected apart, without a volume.
class JournalPlatform : public Platform, public Evidence {
 public:
  JournalPlatform(std::unique_ptr<WitnessLister> lister, Platform& host)
      : lister_(std::move(lister)), host_(host) {}

  Evidence* VolumeEvidence() override { return this; }
  void ProbeSnapshots(const std::string&, const DirEntry*, const RawFileInfo*,
                      std::vector<RawFileInfo>*) override {}
  std::optional<std::uint64_t> VolumeSerial() const override { return std::nullopt; }

  bool ForEachListed(Witness, const ListingVisitor& visit) override {
    return lister_ != nullptr && lister_->List(visit);
  }
  std::string LossReport() const override {
    return lister_ != nullptr ? lister_->LossReport() : std::string();
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
  std::unique_ptr<WitnessLister> lister_;
  Platform& host_;
};

}  // namespace

std::unique_ptr<Platform> MakeJournalPlatform(std::unique_ptr<WitnessLister> lister,
                                              Platform& host) {
  return std::make_unique<JournalPlatform>(std::move(lister), host);
}

}  // namespace qst
