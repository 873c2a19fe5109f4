// SPDX-License-Identifier: MIT
// Writes every value that the core loads from the files under some folders,
// each double as its bits in hex, and every failure as its kind and text, so
// that one build's output can be compared byte for byte with another's: a
// cross-built target's with the host's. Each file is loaded by path and from
// memory, once with every block classifier the CPU runs; all those loads
// must agree, or the program names the file and exits with 1.
//
//   difral_dump_values OUTPUT FOLDER...
//
// Files are listed in name order, named relative to their folder. Paths go
// to the core as given, so that relative ones serve under Wine too.
#include "core/dispatch.h"
#include "text/block.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace difral {
namespace {

std::string_view kind_name(LoadErrorKind kind) {
  switch (kind) {
  case LoadErrorKind::Io:
    return "Io";
  case LoadErrorKind::Zip:
    return "Zip";
  case LoadErrorKind::Parse:
    return "Parse";
  case LoadErrorKind::UnknownFormat:
    return "UnknownFormat";
  case LoadErrorKind::MissingArchiveMember:
    return "MissingArchiveMember";
  }
  return "?";
}

void add_column(std::string &out, char name, const std::vector<double> &column,
                std::size_t &values) {
  static constexpr char digits[] = "0123456789abcdef";
  out += name;
  out += ' ';
  out += std::to_string(column.size());
  out += '\n';
  for (const double value : column) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    char line[17];
    for (std::size_t i = 0; i < 16; ++i) {
      line[i] = digits[(bits >> (60 - 4 * i)) & 0xF];
    }
    line[16] = '\n';
    out.append(line, sizeof line);
  }
  values += column.size();
}

// A load's outcome as text: the columns' bits, or the failure.
std::string describe(const LoadResult &result, std::size_t &values) {
  std::string out;
  if (!result.ok()) {
    out += "error ";
    out += kind_name(result.error().kind());
    out += ": ";
    out += result.error().message();
    out += '\n';
    return out;
  }
  add_column(out, 'x', result->x, values);
  add_column(out, 'y', result->y, values);
  if (result->e) {
    add_column(out, 'e', *result->e, values);
  } else {
    out += "e none\n";
  }
  return out;
}

std::string read_bytes(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Input {
  std::string name; // relative to its folder, with forward slashes
  std::string path;
};

std::vector<Input> list_files(const std::string &folder) {
  std::vector<Input> files;
  for (const auto &entry :
       std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      const std::u8string name =
          entry.path().lexically_relative(folder).generic_u8string();
      const std::u8string path = entry.path().generic_u8string();
      files.push_back({{name.begin(), name.end()}, {path.begin(), path.end()}});
    }
  }
  std::sort(files.begin(), files.end(),
            [](const Input &a, const Input &b) { return a.name < b.name; });
  return files;
}

int run(const char *output, const std::vector<std::string> &folders) {
  std::FILE *out = std::fopen(output, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", output);
    return 2;
  }
  const Classifier &best = detail::active_classifier();
  bool agree = true;
  std::string counts;
  for (const std::string &folder : folders) {
    std::size_t values = 0;
    std::size_t files = 0;
    for (const Input &input : list_files(folder)) {
      const std::string bytes = read_bytes(input.path);
      const auto data = std::as_bytes(std::span(bytes.data(), bytes.size()));
      // The first load, by path with the best classifier (the list's first
      // that the CPU runs), is the one written.
      std::string expected;
      bool first = true;
      for (const Classifier &classifier : detail::classifiers()) {
        if (!classifier.supported()) {
          continue;
        }
        detail::set_active_classifier(classifier);
        for (const bool from_path : {true, false}) {
          std::size_t counted = 0;
          std::string got = describe(from_path ? load_path(input.path)
                                               : load_buffer(data, input.path),
                                     counted);
          if (first) {
            expected = std::move(got);
            values += counted;
            first = false;
          } else if (got != expected) {
            std::fprintf(stderr, "%s: the load %s with classifier %s differs\n",
                         input.path.c_str(),
                         from_path ? "by path" : "from memory",
                         std::string(classifier.name).c_str());
            agree = false;
          }
        }
      }
      const std::string header = "file " + input.name + "\n";
      std::fwrite(header.data(), 1, header.size(), out);
      std::fwrite(expected.data(), 1, expected.size(), out);
      ++files;
    }
    counts += "folder " + folder + " values " + std::to_string(values) +
              " files " + std::to_string(files) + "\n";
  }
  detail::set_active_classifier(best);
  std::fwrite(counts.data(), 1, counts.size(), out);
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "cannot write %s\n", output);
    return 2;
  }
  return agree ? 0 : 1;
}

} // namespace
} // namespace difral

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: difral_dump_values OUTPUT FOLDER...\n");
    return 2;
  }
  return difral::run(argv[1], {argv + 2, argv + argc});
}
