// polcdump: prints a binary policy as a listing, as a policy source, or as
// section counts.
#include <getopt.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "tools/image/policy_image.h"
#include "tools/polcdump/policy_listing.h"
#include "tools/polcdump/policy_source.h"

namespace {

enum class OutputForm { LISTING, JSON, STATS };

void PrintUsage(std::ostream& out) {
  out << "Usage: polcdump [options] <policy file>\n"
         "Options:\n"
         "  -j, --json     Print a policy source that polc compiles to the same binary\n"
         "  -s, --stats    Print the number of entries of each section\n"
         "  -h, --help     Print this text\n";
}

int Fail(const std::string& path, const std::string& message) {
  std::cerr << "polcdump: " << path << ": " << message << "\n";
  return EXIT_FAILURE;
}

int Dump(const char* path, OutputForm form) {
  PolicyImage image;
  // Only a policy source needs to know whether the records are in the order
  // polc writes them, and only the slower database reader can tell.
  const RewriteCheck rewriteCheck = form == OutputForm::JSON ? RewriteCheck::YES : RewriteCheck::NO;
  const std::string loadError = LoadPolicyImage(path, image, rewriteCheck);
  if (!loadError.empty()) return Fail(path, loadError);
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
