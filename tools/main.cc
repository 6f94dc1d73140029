// polcdump: prints a binary policy as a listing, as a policy source, or as
// section counts.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "ruledb/policy_binary.h"
#include "tools/policy_image.h"
#include "tools/policy_listing.h"
#include "tools/policy_source.h"

namespace {

enum class OutputForm { LISTING, JSON, STATS };

void PrintUsage(std::ostream& out) {
  out << "Usage: polcdump [options] <policy file>\n"
         "Options:\n"
         "  -j, --json     Print a policy source that polc compiles to the same binary\n"
         "  -s, --stats    Print the number of entries of each section\n"
         "  -h, --help     Print this text\n";
}

// Whole file into `bytes`; an error text naming the cause, or empty. A
// file larger than any binary policy polc writes (or an endless device) is
// refused once that size is passed.
std::string ReadWholeFile(const char* path, std::vector<uint8_t>& bytes) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return std::strerror(errno);
  uint8_t buffer[65536];
  size_t count;
  while (bytes.size() <= POLICY_BUFFER_SIZE &&
         (count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
  const int readError = std::ferror(file) != 0 ? errno : 0;
  std::fclose(file);
  if (readError != 0) return std::strerror(readError);
  if (bytes.size() > POLICY_BUFFER_SIZE) {
    return "larger than " + std::to_string(POLICY_BUFFER_SIZE) + " bytes, the most polc writes";
  }
  return "";
}

int Fail(const std::string& path, const std::string& message) {
  std::cerr << "polcdump: " << path << ": " << message << "\n";
  return EXIT_FAILURE;
}

int Dump(const char* path, OutputForm form) {
  std::vector<uint8_t> bytes;
  const std::string readError = ReadWholeFile(path, bytes);
  if (!readError.empty()) return Fail(path, "cannot read: " + readError);
  PolicyImage image;
  const std::string imageError = ReadPolicyImage(bytes, image);
  if (!imageError.empty()) return Fail(path, "not a valid binary policy: " + imageError);
  if (form == OutputForm::JSON) {
    const std::string sourceError = WritePolicySource(image, std::cout);
    if (!sourceError.empty()) {
      return Fail(path, "no policy source compiles to this binary: " + sourceError);
    }
  } else if (form == OutputForm::STATS) {
    WritePolicyStats(image, std::cout);
  } else {
    WritePolicyListing(image, std::cout);
  }
  std::cout.flush();
  if (!std::cout) return Fail("standard output", "write failed");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static const option OPTIONS[] = {{"json", no_argument, nullptr, 'j'},
                                   {"stats", no_argument, nullptr, 's'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  OutputForm form = OutputForm::LISTING;
  int choice;
  while ((choice = getopt_long(argc, argv, "jsh", OPTIONS, nullptr)) != -1) {
    if (choice == 'h') {
      PrintUsage(std::cout);
      return 0;
    }
    const OutputForm chosen = choice == 'j' ? OutputForm::JSON : OutputForm::STATS;
    if (choice == '?' || (form != OutputForm::LISTING && form != chosen)) {
      if (choice != '?') std::cerr << "polcdump: --json and --stats exclude each other\n";
      PrintUsage(std::cerr);
      return EXIT_FAILURE;
    }
    form = chosen;
  }
  if (argc - optind != 1) {
    std::cerr << "polcdump: expected one policy file\n";
    PrintUsage(std::cerr);
    return EXIT_FAILURE;
  }
  return Dump(argv[optind], form);
}
