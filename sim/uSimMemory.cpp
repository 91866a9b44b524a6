#include "sim/uSimMemory.h"


#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "vars/uTavexVars.h"

namespace tavex::sim {

void TCodeMemory::Write(uint32_t Address, const uint8_t* Data, size_t Count) {
  if (Address >= kCodeMemorySize || Count == 0) return;
  Count = std::min<size_t>(Count, kCodeMemorySize - Address);
  size_t done = 0;
  while (done < Count) {
    const uint32_t a = Address + static_cast<uint32_t>(done);
    auto& page = Pages_.try_emplace(a >> 8).first->second;  // new pages start zeroed
    const size_t off = a & 0xFF;
    const size_t n = std::min(Count - done, 256 - off);
    std::memcpy(page.data() + off, Data + done, n);
    done += n;
  }
}

void TCodeMemory::Fill(uint32_t Address, uint8_t Byte, size_t Count) {
  const std::vector<uint8_t> bytes(std::min<size_t>(Count, kCodeMemorySize), Byte);
  Write(Address, bytes.data(), bytes.size());
}

void TCodeMemory::WriteU16(uint32_t Address, uint16_t Value) {
  const uint8_t b[2] = {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8)};
  Write(Address, b, 2);
}

void TCodeMemory::WriteU32(uint32_t Address, uint32_t Value) {
  const uint8_t b[4] = {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8),
                        static_cast<uint8_t>(Value >> 16), static_cast<uint8_t>(Value >> 24)};
  Write(Address, b, 4);
}

void TCodeMemory::Read(uint32_t Address, uint8_t* Out, size_t Count) const {
  if (Count == 0) return;
  std::memset(Out, 0, Count);
  if (Address >= kCodeMemorySize) return;
  Count = std::min<size_t>(Count, kCodeMemorySize - Address);
  size_t done = 0;
  while (done < Count) {
    const uint32_t a = Address + static_cast<uint32_t>(done);
    const size_t off = a & 0xFF;
    const size_t n = std::min(Count - done, 256 - off);
    auto it = Pages_.find(a >> 8);
    if (it != Pages_.end()) std::memcpy(Out + done, it->second.data() + off, n);
    done += n;
  }
}

std::vector<uint8_t> TCodeMemory::Read(uint32_t Address, size_t Count) const {
  std::vector<uint8_t> out(std::min<size_t>(Count, kCodeMemorySize));
  Read(Address, out.data(), out.size());
  return out;
}

std::string BuildAlcText(const std::vector<TSimVariable>& Variables) {
  std::string text;
  // A single word, so that even a reader that parses every line skips it.
  text += ";Generated-by-tavex-sim\r\n";
  text += ";CPU Tavex-2 SIM\r\n";
  text += ";Addr     Flags Count  Offset Stride Scope  Type        Name                 Comment\r\n";
  char line[512];
  for (const TSimVariable& v : Variables) {
    std::snprintf(line, sizeof line, "%04X      %-5X %-6d %-6d %-6d %-6s %-11s %-20s", v.Address, v.Flags,
                  v.Count, v.Offset, v.Stride, ScopeKeyword(v.Scope), TypeKeyword(v.VarType),
                  v.Name.c_str());
    std::string l = line;
    if (!v.Comment.empty()) {
      l += ' ';
      l += v.Comment;
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    text += l;
    text += "\r\n";
  }
  return text;
}

namespace {

struct TEntry {
  std::string Name;
  uint16_t NameLength = 0;
  uint32_t Address = 0;
  uint32_t Size = 0;
  const std::vector<uint8_t>* Data = nullptr;
  bool AddressGiven = false;
};

uint32_t Align16(uint64_t A) { return static_cast<uint32_t>(std::min<uint64_t>((A + 15) / 16 * 16, UINT32_MAX)); }

}  // namespace

TCodeLayout BuildCodeMemory(const TControllerConfig& Config, const std::vector<uint8_t>& Archive,
                            TCodeMemory& Memory) {
  TCodeLayout layout;
  if (!Config.HasProgram) {
    // Erased flash: the header reads as all ones, so word 0 and the magic fail.
    Memory.Fill(kHeaderAddress, 0xFF, kHeaderSize);
  } else {
    Memory.Fill(kHeaderAddress, 0, kHeaderSize);
    std::vector<TEntry> entries;
    auto addExtra = [&](const TExtraFile& f) {
      TEntry e;
      e.Name = f.Name;
      e.NameLength = f.NameLength.value_or(static_cast<uint16_t>(f.Name.size()));
      e.Size = f.Size.value_or(static_cast<uint32_t>(f.Data.size()));
      e.Data = &f.Data;
      e.AddressGiven = f.Address.has_value();
      e.Address = f.Address.value_or(0);
      entries.push_back(e);
    };
    for (const TExtraFile& f : Config.ExtraFiles)
      if (f.BeforeAlc) addExtra(f);
    if (Config.AlcEntry.Present) {
      TEntry e;
      e.Name = Config.AlcEntry.Name;
      e.NameLength = Config.AlcEntry.NameLength.value_or(static_cast<uint16_t>(e.Name.size()));
      e.Size = Config.AlcEntry.Size.value_or(static_cast<uint32_t>(Archive.size()));
      e.Data = &Archive;
      e.AddressGiven = Config.AlcEntry.Address.has_value();
      e.Address = Config.AlcEntry.Address.value_or(0);
      entries.push_back(e);
    }
    for (const TExtraFile& f : Config.ExtraFiles)
      if (!f.BeforeAlc) addExtra(f);

    layout.DirectoryAddress = kDirectoryAddress;
    layout.EntryCount = static_cast<uint16_t>(entries.size());
    uint32_t cursor = Align16(uint64_t{kDirectoryAddress} + entries.size() * kDirEntrySize);
    for (size_t i = 0; i < entries.size(); ++i) {
      TEntry& e = entries[i];
      if (!e.AddressGiven) {
        // Only a placement asked for may be cut off at the top.
        if (uint64_t{cursor} + e.Data->size() > kCodeMemorySize)
          throw std::runtime_error("\"" + e.Name + "\" (" + std::to_string(e.Data->size()) +
                                   " bytes) does not fit in the 16 MiB code memory");
        e.Address = cursor;
        cursor = Align16(uint64_t{cursor} + e.Data->size());
      }
      Memory.Write(e.Address, e.Data->data(), e.Data->size());
      uint8_t raw[kDirEntrySize] = {};
      std::memcpy(raw, e.Name.data(), std::min<size_t>(e.Name.size(), 32));
      raw[32] = static_cast<uint8_t>(e.NameLength);
      raw[33] = static_cast<uint8_t>(e.NameLength >> 8);
      for (int k = 0; k < 4; ++k) {
        raw[34 + k] = static_cast<uint8_t>(e.Address >> (8 * k));
        raw[38 + k] = static_cast<uint8_t>(e.Size >> (8 * k));
      }
      Memory.Write(static_cast<uint32_t>(kDirectoryAddress + i * kDirEntrySize), raw, sizeof raw);
      if (e.Data == &Archive && Config.AlcEntry.Present && layout.AlcAddress == 0) {
        layout.AlcAddress = e.Address;
        layout.AlcSize = e.Size;
      }
    }
    Memory.WriteU16(kHeaderAddress, 0);
    Memory.WriteU16(kHeaderAddress + 2, kHeaderMagic);
    Memory.WriteU32(kHeaderAddress + kStampOffset, Config.Stamp);
    Memory.WriteU32(kHeaderAddress + kDirAddressOffset, layout.DirectoryAddress);
    Memory.WriteU16(kHeaderAddress + kDirCountOffset, layout.EntryCount);
  }
  const THeaderOverrides& h = Config.Header;
  if (h.Word0) Memory.WriteU16(kHeaderAddress, *h.Word0);
  if (h.Magic) Memory.WriteU16(kHeaderAddress + 2, *h.Magic);
  if (h.DirectoryAddress) Memory.WriteU32(kHeaderAddress + kDirAddressOffset, *h.DirectoryAddress);
  if (h.EntryCount) Memory.WriteU16(kHeaderAddress + kDirCountOffset, *h.EntryCount);
  for (const TMemoryPatch& p : Config.MemoryPatches) Memory.Write(p.Address, p.Bytes.data(), p.Bytes.size());
  return layout;
}

}  // namespace tavex::sim
