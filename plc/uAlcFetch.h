// The allocation text of a controller: the header fields, the file
// directory, then "alc.zip" (or a cached copy of it, proven against the
// controller), with an explicit number of tries for the header and for the
// archive. The one fetch behind the record's staged sequence and the fleet.
//
// Threads: the communicator's owner thread; the cache may be shared.
// Exceptions: none.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "comm/uCodeMemory.h"
#include "comm/uCommunication.h"
#include "plc/uAlcCache.h"

namespace tavex {

enum class TAlcFetch : uint8_t { Fetched, FromCache, NoAnswer, NotFound };

// How often a fetch asks again. A try is repeated only when a transaction
// failed (no answer, with the transport's own retries inside each): what
// the controller's memory says (no program, no archive, a damaged one)
// would read the same again.
struct TAlcTries {
  int Header = 1;   // reads of the header fields (when not handed in)
  int Archive = 1;  // runs of directory, cache proof and archive
};

// The allocation text of the controller behind Comm: the header fields
// (one page request, unless Header holds them already: its first
// kCodeHeaderFieldsSize bytes), the file directory, then "alc.zip". With a
// cache, an archive kept for (Nad, program stamp, directory address and
// size) is taken from it when it passes the zip reader's checks and its
// first bytes equal the controller's (one page request, AlcProofLength);
// otherwise the archive's pages are fetched (a page read for the comparison
// is not read twice), checked the same way, and kept (replacing a damaged
// or stale file). Without a usable cached file no request is added.
// Text: the first member's text. Sets Comm.CodeStamp to the header's stamp.
// NoAnswer: a transaction failed in the last of its tries (a stop refused
// it, too). NotFound: no valid header, no directory in reachable memory, no
// valid "alc.zip" entry, or an archive without a readable, non-empty first
// member. Throws nothing.
TAlcFetch FetchAlcText(TCommunicator& Comm, uint32_t Nad, const TAlcCache* Cache, std::string& Text,
                       const std::vector<uint8_t>* Header, const TAlcTries& Tries);

// The same, each read tried once.
TAlcFetch FetchAlcText(TCommunicator& Comm, uint32_t Nad, const TAlcCache* Cache, std::string& Text,
                       const std::vector<uint8_t>* Header = nullptr);

}  // namespace tavex
