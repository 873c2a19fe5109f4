// SPDX-License-Identifier: MIT
// The extension rule on arbitrary names. Beyond not crashing, the answer must
// not depend on ASCII case, on trailing separators, or on a directory put in
// front; a name with ".bak" appended never has a known extension; and
// load_buffer over empty data must agree with the rule.
#include "core/dispatch.h"
#include "fuzz_support.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace difral;
using namespace difral::fuzz;

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool has_drive(std::string_view name) {
  return name.size() >= 2 && name[1] == ':' &&
         ((name[0] >= 'a' && name[0] <= 'z') ||
          (name[0] >= 'A' && name[0] <= 'Z'));
}

std::string ascii_upper(std::string_view name) {
  std::string upper(name);
  for (char &c : upper) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return upper;
}

// What load_buffer must answer for empty data under each kind.
void check_empty_load(std::string_view name, std::optional<FormatKind> kind) {
  const LoadResult result = load_buffer({}, name);
  check_shape(result);
  if (!kind) {
    require(!result.ok() &&
                result.error().kind() == LoadErrorKind::UnknownFormat &&
                result.error().message() == "Unknown format",
            "no extension but load_buffer did not say Unknown format");
    return;
  }
  switch (*kind) {
  case FormatKind::Columns:
  case FormatKind::Csv:
    require(result.ok() && result->x.empty() && !result->e,
            "empty column data did not give an empty Pattern");
    return;
  case FormatKind::GsasRaw:
  case FormatKind::BrukerRaw:
    require(!result.ok() && result.error().kind() == LoadErrorKind::Parse &&
                result.error().message() == "BANK header not found in RAW file",
            "empty RAW data did not fail for want of a BANK header");
    return;
  case FormatKind::Rasx:
    require(!result.ok() && result.error().kind() == LoadErrorKind::Zip,
            "empty RASX data was not a Zip error");
    return;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  const std::string name(reinterpret_cast<const char *>(data), size);
  const std::optional<FormatKind> kind = format_from_name(name);
  require(kind != FormatKind::BrukerRaw,
          "the name alone chose Bruker RAW, which only sniffing can");

  require(format_from_name(ascii_upper(name)) == kind,
          "the answer depends on ASCII case");
  require(format_from_name(name + "/") == kind &&
              format_from_name(name + "\\") == kind &&
              format_from_name(name + "/.") == kind,
          "a trailing separator or \".\" component changed the answer");
  require(!format_from_name(name + ".bak"),
          "a name ending in .bak has a known extension");
  if (name.empty() || (!is_separator(name[0]) && !has_drive(name))) {
    require(format_from_name("dir/" + name) == kind &&
                format_from_name("dir\\" + name) == kind,
            "a directory in front changed the answer");
  }
  check_empty_load(name, kind);
  return 0;
}
