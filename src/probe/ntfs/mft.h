// The MFT ($MFT, record 0): where its records lie and which are in use.
// Record 0's unnamed $DATA gives the MFT's runs (continued, for a very
// fragmented MFT, in extension records its $ATTRIBUTE_LIST names) and its
// $BITMAP one bit per record in use. When record 0 is lost, $MFTMirr's
// copy stands in; failing both, the MFT is read on from where the boot
// sector says it starts, for as long as records are found there.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "probe/ntfs/boot-sector.h"
#include "probe/ntfs/damage.h"
#include "probe/ntfs/run-list.h"
#include "probe/volume-reader.h"

namespace qst {

class Mft {
 public:
  explicit Mft(VolumeReader& reader) : reader_(reader) {}

  // Finds the MFT of the volume `boot` describes. False with `*error` set
  // when not even its start can be read.
  bool Locate(const BootSector& boot, std::string* error);
  // Takes the whole reader as a bare MFT, as copied out of a volume, whose
  // records are `record_size` bytes.
  void LocateBare(std::uint32_t record_size);

  // Reads record `number` and applies its fixups; false when it cannot be
  // read or is no whole record.
  bool ReadRecord(std::uint64_t number, std::vector<std::uint8_t>* data) const;
  // Held while reading the volume from a thread of a walk, beside the
  // windows: locked where the reader allows one read at a time.
  std::unique_lock<std::mutex> ReadsFromThreads() const {
    std::unique_lock<std::mutex> lock(window_reads_, std::defer_lock);
    if (!reader_.ConcurrentReads()) lock.lock();
    return lock;
  }

  // A stretch of records read at once and kept by one thread between calls
  // of RecordIn: records asked for in about the order they lie in (the
  // files of a folder, mostly) cost one read a stretch.
  class Window {
   private:
    friend class Mft;
    std::uint64_t first = 0, count = 0;
    std::vector<std::uint8_t> bytes;  // as read
    std::vector<std::uint8_t> fixed;  // the record asked for, fixed up
  };
  // Record `number`, fixed up, read through `window`: valid until the
  // window's next use. Null when it cannot be read or is no whole record.
  // Calls with windows of their own may come from several threads at once.
  const std::uint8_t* RecordIn(std::uint64_t number, Window* window) const;
  // The same, but as it lies, its fixups neither checked nor applied: what
  // is read of it before the end of its first 512 bytes is the same either
  // way. Null when it cannot be read or holds no record's signature.
  const std::uint8_t* RawRecordIn(std::uint64_t number, Window* window) const;

  // One sequential pass over the MFT in large pieces: `parse` gets each
  // whole record, fixed up; records that cannot be read, or were damaged,
  // are noted in `lost`. `progress` is told after each piece. With
  // `read_ahead`, a thread of its own reads the next pieces meanwhile,
  // where the reader allows.
  using RecordVisitor = std::function<void(std::uint64_t number, const std::uint8_t* record)>;
  // Returns the number of the first record it did not reach.
  std::uint64_t ForEachRecord(const RecordVisitor& parse, LostRecords* lost,
                              const std::function<void(std::uint64_t, std::uint64_t)>& progress,
                              bool read_ahead) const;

  std::uint32_t record_size() const { return record_size_; }
  // How many records the MFT can hold, as far as the image has room for.
  std::uint64_t record_limit() const { return record_limit_; }
  // Whether record 0's run list was lost and the MFT's extent guessed.
  bool guessed() const { return guessed_; }
  // Whether record 0 itself could not be used and $MFTMirr's copy was.
  bool mirror_used() const { return mirror_used_; }
  // How many of the MFT's records lie beyond the image's end.
  std::uint64_t records_past_end() const { return records_past_end_; }
  const ClusterGeometry& geometry() const { return geometry_; }

 private:
  bool RunsOf(const std::vector<std::uint8_t>& record0, Runs* runs, std::uint64_t* size);
  bool AddExtensionPieces(const std::vector<std::uint8_t>& list,
                          std::vector<std::pair<std::uint64_t, Runs>>* pieces);
  bool UsableRuns(const std::vector<std::uint8_t>& record0, Runs* runs, std::uint64_t* size);
  bool RecordZeroAt(std::uint64_t offset, std::vector<std::uint8_t>* record0, Runs* runs,
                    std::uint64_t* size);
  void ReadBitmap(const std::vector<std::uint8_t>& record0);
  bool MarkedInUse(std::uint64_t record) const;
  void CountRecordsPastEnd(std::uint64_t size);
  void IndexRuns();
  bool Fill(std::uint64_t number, Window* window) const;
  struct Piece;
  struct LoadedPiece;
  class PieceQueue;
  std::vector<Piece> PassPieces() const;
  void LoadPiece(const std::vector<Piece>& pieces, std::size_t index, LoadedPiece* out) const;
  // `record`, whose fixups hold, as parsing reads it: in place where fixups
  // change none of its bytes in use, else fixed up in `*fixed`.
  const std::uint8_t* FixedUp(const std::uint8_t* record, std::vector<std::uint8_t>* fixed) const;
  bool ParsePiece(const Piece& piece, const LoadedPiece& loaded, std::vector<std::uint8_t>* fixed,
                  const RecordVisitor& parse, LostRecords* lost, std::uint64_t* gap,
                  std::uint64_t* end) const;

  VolumeReader& reader_;
  ClusterGeometry geometry_;
  std::uint32_t record_size_ = 0;
  Runs runs_;
  std::vector<std::uint64_t> run_ends_;  // where each run ends in the MFT's data
  // Reads through windows, for a reader that allows one at a time.
  mutable std::mutex window_reads_;
  std::uint64_t record_limit_ = 0;
  std::vector<std::uint8_t> bitmap_;  // $MFT's $BITMAP: records in use
  bool guessed_ = false;
  bool mirror_used_ = false;
  std::uint64_t records_past_end_ = 0;
};

}  // namespace qst

namespace qst {

// Whether `image` starts with an MFT record: a bare MFT, as copied out of a
// volume, rather than a volume or a disk.
bool IsBareMft(VolumeReader& image);

}  // namespace qst
