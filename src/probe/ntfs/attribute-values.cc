#include "probe/ntfs/attribute-values.h"

#include "probe/le.h"

namespace qst {
namespace {

constexpr std::size_t kSiCreation = 0x00;
constexpr std::size_t kSiWrite = 0x08;
constexpr std::size_t kSiChange = 0x10;
constexpr std::size_t kSiAccess = 0x18;
constexpr std::uint32_t kSiTimesEnd = 0x20;

constexpr std::size_t kFnParent = 0x00;
constexpr std::size_t kFnCreation = 0x08;
constexpr std::size_t kFnWrite = 0x10;
constexpr std::size_t kFnChange = 0x18;
constexpr std::size_t kFnAccess = 0x20;
constexpr std::size_t kFnAllocated = 0x28;
constexpr std::size_t kFnDataSize = 0x30;
constexpr std::size_t kFnNameLength = 0x40;
constexpr std::size_t kFnNameSpace = 0x41;
constexpr std::size_t kFnName = 0x42;

}  // namespace

bool DecodeStandardInformation(const std::uint8_t* value, std::uint32_t length, NtfsTimes* times) {
  if (length < kSiTimesEnd) return false;
  times->creation = LoadLe64(value + kSiCreation);
  times->write = LoadLe64(value + kSiWrite);
  times->change = LoadLe64(value + kSiChange);
  times->access = LoadLe64(value + kSiAccess);
  return true;
}

std::u16string FileNameValue::Text() const {
  std::u16string text;
  CopyText(&text);
  return text;
}

void FileNameValue::CopyText(std::u16string* text) const {
  text->resize(length);
  for (std::size_t i = 0; i < length; ++i) (*text)[i] = Unit(i);
}

std::uint64_t FileNameValue::AllocatedSize() const { return LoadLe64(raw + kFnAllocated); }
std::uint64_t FileNameValue::DataSize() const { return LoadLe64(raw + kFnDataSize); }

std::uint32_t FileNameLengthAt(const std::uint8_t* value) {
  const std::uint32_t units = value[kFnNameLength];
  return units == 0 || value[kFnNameSpace] > kWin32AndDosName ? 0 : kFileNameHeader + 2 * units;
}

bool DecodeFileName(const std::uint8_t* value, std::uint32_t length, FileNameValue* name) {
  if (length < kFileNameHeader) return false;
  std::uint8_t units = value[kFnNameLength];
  if (kFileNameHeader + 2u * units > length) return false;
  name->parent = LoadLe64(value + kFnParent);
  name->times = {LoadLe64(value + kFnCreation), LoadLe64(value + kFnWrite),
                 LoadLe64(value + kFnChange), LoadLe64(value + kFnAccess)};
  name->space = static_cast<NameSpace>(value[kFnNameSpace]);
  name->length = units;
  name->name = value + kFnName;
  name->raw = value;
  return true;
}

}  // namespace qst
