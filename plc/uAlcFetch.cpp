#include "plc/uAlcFetch.h"

#include <algorithm>

#include "hostutil/uMemoryStream.h"

namespace tavex {

namespace {

// Directory, cache proof and archive, once, for the header's program.
TAlcFetch FetchArchive(TCommunicator& Comm, uint32_t Nad, const TAlcCache* Cache, const TCodeHeader& Header,
                       std::string& Text) {
  Text.clear();
  TMemoryStream dir;
  if (!Comm.ReadMemory(Header.DirAddress, DirectorySize(Header), &dir)) return TAlcFetch::NoAnswer;
  const std::optional<TDirEntry> alc = FindAlcEntry(dir.Bytes(), Header.DirCount);
  if (!alc) return TAlcFetch::NotFound;
  const int32_t address = alc->Address, size = alc->Size;

  std::vector<uint8_t> bytes;  // the archive as the controller holds it, from its start
  std::vector<uint8_t> cached;
  if (Cache != nullptr && Cache->Load(Nad, Header.Stamp, address, size, cached) && ArchiveText(cached, Text)) {
    // The key may match another program's archive: the copy is used only
    // when the controller's first page of the archive holds the same bytes.
    const int32_t proof = AlcProofLength(address, cached);
    if (proof > 0) {
      TMemoryStream page;
      if (!Comm.ReadMemory(address, proof, &page) || page.Size() != static_cast<size_t>(proof)) {
        Text.clear();
        return TAlcFetch::NoAnswer;
      }
      if (std::equal(page.Bytes().begin(), page.Bytes().end(), cached.begin())) return TAlcFetch::FromCache;
      // Another archive. Its first page, just read, is the start of the
      // fetch; the rest begins on a page boundary (or there is none), so
      // this costs no more requests than a fetch without a cache.
      bytes = page.Bytes();
    }
    Text.clear();
  }
  const auto have = static_cast<int32_t>(bytes.size());
  if (have < size) {
    TMemoryStream rest;
    if (!Comm.ReadMemory(address + have, size - have, &rest)) return TAlcFetch::NoAnswer;
    bytes.insert(bytes.end(), rest.Bytes().begin(), rest.Bytes().end());
  }
  if (!ArchiveText(bytes, Text)) return TAlcFetch::NotFound;
  if (Cache != nullptr) Cache->Store(Nad, Header.Stamp, address, size, bytes);
  return TAlcFetch::Fetched;
}

}  // namespace

TAlcFetch FetchAlcText(TCommunicator& Comm, uint32_t Nad, const TAlcCache* Cache, std::string& Text,
                       const std::vector<uint8_t>* Header, const TAlcTries& Tries) {
  Text.clear();
  std::vector<uint8_t> fields;
  if (Header != nullptr && Header->size() >= static_cast<size_t>(kCodeHeaderFieldsSize)) {
    fields.assign(Header->begin(), Header->begin() + kCodeHeaderFieldsSize);
  } else {
    bool read = false;
    for (int i = 0; i < std::max(1, Tries.Header) && !read; ++i) {
      if (i > 0 && Comm.Stopped()) break;  // a stopped run asks nothing more
      TMemoryStream s;
      read = Comm.ReadMemory(kCodeHeaderAddress, kCodeHeaderFieldsSize, &s) &&
             s.Size() == static_cast<size_t>(kCodeHeaderFieldsSize);
      if (read) fields = s.Bytes();
    }
    if (!read) return TAlcFetch::NoAnswer;
  }
  const TCodeHeader header = ParseCodeHeader(fields);
  if (!header.Valid || header.DirCount <= 0) return TAlcFetch::NotFound;
  Comm.CodeStamp = header.Stamp;
  // A directory beyond reachable memory cannot be read (and is no answer's fault).
  if (!DirectoryReachable(header)) return TAlcFetch::NotFound;

  TAlcFetch fetched = TAlcFetch::NoAnswer;
  for (int i = 0; i < std::max(1, Tries.Archive) && fetched == TAlcFetch::NoAnswer; ++i) {
    if (i > 0 && Comm.Stopped()) break;  // a stopped run asks nothing more
    fetched = FetchArchive(Comm, Nad, Cache, header, Text);
  }
  return fetched;
}

TAlcFetch FetchAlcText(TCommunicator& Comm, uint32_t Nad, const TAlcCache* Cache, std::string& Text,
                       const std::vector<uint8_t>* Header) {
  return FetchAlcText(Comm, Nad, Cache, Text, Header, TAlcTries{});
}

}  // namespace tavex
