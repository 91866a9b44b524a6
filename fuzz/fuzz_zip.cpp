// The zip reader over arbitrary archive bytes, as a controller's "alc.zip":
// LoadFromStream, then ExtractFile of every member, then the allocation
// parser over the first member as the controller record does it.
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "hostutil/uMemoryStream.h"
#include "hostutil/uZipFile.h"
#include "vars/uTavexVars.h"

using namespace tavex;

namespace {

void ExpectOutOfRange(const TZipFile& zip, int index) {
  std::string out = "kept";
  try {
    zip.ExtractFile(index, out);
  } catch (const EZipFileCRCError&) {
    FUZZ_CHECK(!"a bad index is no CRC error");
  } catch (const Exception& e) {
    FUZZ_CHECK(std::strcmp(e.what(), "Index out of range.") == 0);
    FUZZ_CHECK(out == "kept");
    return;
  }
  FUZZ_CHECK(!"a bad index must raise");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryStream stream;
  stream.Write(data, size);
  stream.SetPosition(size / 2);  // the reader starts at 0 wherever the stream stands

  TZipFile zip;
  zip.LoadFromStream(stream);
  FUZZ_CHECK(stream.Position() <= stream.Size());
  FUZZ_CHECK(zip.Count() >= 0);
  FUZZ_CHECK(zip.LocalFiles().size() == static_cast<size_t>(zip.Count()));
  FUZZ_CHECK(zip.CentralFiles().size() == zip.LocalFiles().size());

  // Nothing parsed is larger than the bytes it came from.
  size_t held = 0;
  for (const TLocalFile& f : zip.LocalFiles()) {
    FUZZ_CHECK(f.Signature == ZipLocalFileSignature);
    FUZZ_CHECK(f.FileName.size() == f.FileNameLength);
    FUZZ_CHECK(f.Extra.size() == f.ExtraFieldLength);
    FUZZ_CHECK(f.Data.size() == f.CompressedSize);
    held += 30 + f.FileName.size() + f.Extra.size() + f.Data.size();
  }
  FUZZ_CHECK(held <= size);
  if (zip.EndSignature() != 0) {
    FUZZ_CHECK(zip.EndSignature() == ZipEndSignature);
    FUZZ_CHECK(zip.Comment().size() == zip.EndRecord().CommentLength);
  } else {
    FUZZ_CHECK(zip.Comment().empty());
  }

  ExpectOutOfRange(zip, -1);
  ExpectOutOfRange(zip, zip.Count());

  std::string first;
  bool haveFirst = false;
  for (int i = 0; i < zip.Count(); ++i) {
    const TLocalFile& f = zip.LocalFiles()[static_cast<size_t>(i)];
    std::string out = "kept";
    try {
      zip.ExtractFile(i, out);
    } catch (const Exception&) {
      FUZZ_CHECK(out == "kept");  // a failed extraction leaves the output alone
      continue;
    }
    FUZZ_CHECK(out.size() == f.UncompressedSize);
    FUZZ_CHECK(out.size() <= ZipMaxMemberSize);
    FUZZ_CHECK(ZipCRC32(out) == f.CRC32);
    if (i == 0) {
      first = std::move(out);
      haveFirst = true;
    }
  }

  // The controller record's use: the first member is the allocation text.
  if (haveFirst) {
    TTavexVarList list;
    try {
      list.LoadFromAlcText(first, 1000);
    } catch (const Exception&) {
    }
  }
  return 0;
}
