// The allocation archive of a simulated controller, written with libzip: an
// independent writer, so that the tool's own zip reader is tested against
// an archive it did not make.
#include "sim/uSimMemory.h"

#include <zip.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace tavex::sim {

namespace {

struct TZipSourceFree {
  void operator()(zip_source_t* s) const { zip_source_free(s); }
};

[[noreturn]] void ZipFail(const std::string& What, zip_error_t* Error) {
  const std::string msg = "cannot build alc.zip: " + What + ": " + zip_error_strerror(Error);
  zip_error_fini(Error);
  throw std::runtime_error(msg);
}

}  // namespace

std::vector<uint8_t> BuildAlcZip(const std::string& Text) {
  zip_error_t error;
  zip_error_init(&error);
  std::unique_ptr<zip_source_t, TZipSourceFree> target(zip_source_buffer_create(nullptr, 0, 0, &error));
  if (!target) ZipFail("buffer", &error);
  zip_t* archive = zip_open_from_source(target.get(), ZIP_TRUNCATE, &error);
  if (!archive) ZipFail("open", &error);
  // The archive takes a reference; the buffer must outlive zip_close.
  zip_source_keep(target.get());
  zip_source_t* member = zip_source_buffer(archive, Text.data(), Text.size(), 0);
  const zip_int64_t index = member ? zip_file_add(archive, kAlcMemberName, member, ZIP_FL_ENC_UTF_8) : -1;
  if (index < 0) {
    if (member) zip_source_free(member);
    zip_error_set(&error, zip_error_code_zip(zip_get_error(archive)), 0);
    zip_discard(archive);
    ZipFail("add member", &error);
  }
  if (zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9) != 0) {
    zip_error_set(&error, zip_error_code_zip(zip_get_error(archive)), 0);
    zip_discard(archive);
    ZipFail("compression", &error);
  }
  if (zip_close(archive) != 0) {
    zip_error_set(&error, zip_error_code_zip(zip_get_error(archive)), 0);
    zip_discard(archive);
    ZipFail("close", &error);
  }
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_source_stat(target.get(), &st) != 0 || !(st.valid & ZIP_STAT_SIZE) || st.size > kMaxAlcBytes)
    ZipFail("size", &error);
  std::vector<uint8_t> out(static_cast<size_t>(st.size));
  if (zip_source_open(target.get()) != 0) ZipFail("reopen", &error);
  const zip_int64_t n = zip_source_read(target.get(), out.data(), out.size());
  zip_source_close(target.get());
  if (n < 0 || static_cast<zip_uint64_t>(n) != st.size) ZipFail("read back", &error);
  zip_error_fini(&error);
  return out;
}

}  // namespace tavex::sim
