// A binary policy read back into plain values, for polcdump's listings.
//
// ReadPolicyImage parses the bytes in one pass straight into the image. What
// that parse does not take as it is (anything the rule database's reader,
// RuleDataBaseRead, might read differently or refuse) goes through that
// reader instead, so its verdicts and messages are the only ones. Nothing is
// checked beyond what that reader checks, so a crafted image may hold values
// that name no symbol, no class or no operation.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ruledb/rule_data_base.h"

struct SymbolRecord {
  uint32_t value;    // 0 to N - 1
  std::string name;  // as stored, without NUL

  bool operator==(const SymbolRecord&) const = default;
};

struct InitialSidRecord {
  uint32_t sid;   // 1 kernel, 2 varo, 3 unlabeled, 4 proc; anything in a crafted image
  uint16_t type;  // symbol value of the context

  bool operator==(const InitialSidRecord&) const = default;
};

struct NetifRecord {
  std::string name;  // interface name
  uint16_t type;     // symbol value of the context

  bool operator==(const NetifRecord&) const = default;
};

struct PacketRecord {
  uint16_t protocol;            // IP protocol number
  uint32_t sourceAddress;       // host byte order
  uint32_t sourceMask;          // prefix length
  uint32_t destinationAddress;  // host byte order
  uint32_t destinationMask;     // prefix length
  uint16_t sportStart;
  uint16_t sportEnd;
  uint16_t dportStart;
  uint16_t dportEnd;
  uint16_t type;  // symbol value of the context

  bool operator==(const PacketRecord&) const = default;
};

struct FileContextRecord {
  std::string path;
  std::string context;  // a context name, not a value

  bool operator==(const FileContextRecord&) const = default;
};

struct RuleRecord {
  RuleTblKey key;
  uint32_t datum;  // grant: operation bits; transition: symbol value of the target

  bool operator==(const RuleRecord&) const = default;
};

struct PolicyImage {
  uint64_t fileSize;                            // bytes given to ReadPolicyImage
  uint64_t imageSize;                           // bytes the reader consumed; the rest is ignored
  std::optional<bool> rewritesIdentically;      // writing the database back gives the same
                                                // bytes; known only after RewriteCheck::YES
  uint32_t version;                             // header field
  uint32_t flags;                               // header field, FLAG_* bits
  std::vector<SymbolRecord> symbols;            // image order
  std::vector<InitialSidRecord> initialSids;    // image order
  std::vector<NetifRecord> netifs;              // image order
  std::vector<PacketRecord> packets;            // image order
  std::vector<FileContextRecord> fileContexts;  // image order
  std::vector<std::vector<uint16_t>>
      typeAttrs;                  // indexed by symbol value; empty without FLAG_TYPEATTR
  std::vector<RuleRecord> rules;  // image order

  bool operator==(const PolicyImage&) const = default;
};

// Whether a read also finds out if writing the database back gives the same
// bytes (PolicyImage::rewritesIdentically). An image the fast parse takes
// does unless its version is not the writer's (the writer lists the records
// in the order that parse insists on); for any other only the database's
// own, slower reader can tell.
enum class RewriteCheck { NO, YES };

// Fills `image` from `bytes`. Returns an empty string on success, otherwise
// what was wrong and where, for example "Read symbol table failed: invalid or
// truncated data (status -22); reading stopped at offset 37 of 41 bytes";
// `image` is then unspecified.
// Never reads outside `bytes`. Replaces the rule database's system-log channel
// for the duration of the call, so its messages end up in the result.
// Records come in the order the database lists them, which for an image polc
// wrote is image order.
std::string ReadPolicyImage(std::span<const uint8_t> bytes, PolicyImage& image,
                            RewriteCheck rewriteCheck = RewriteCheck::NO);

// ReadPolicyImage by the rule database alone: read into a database, then
// copied out in the order of its tables. The reference for the fast parse.
std::string ReadPolicyImageByDatabase(std::span<const uint8_t> bytes, PolicyImage& image,
                                      RewriteCheck rewriteCheck);

// The fast parse alone: true when it filled `image` exactly as
// ReadPolicyImageByDatabase would, and the database would write back the
// same bytes but for the version (the rewrite check is left to the
// caller). False for
// every image that reader refuses, and also when a text holds a NUL or when
// symbols, file contexts or rules are not in the order of the database's
// tables (every image polc writes has them in that order), or a rule's kind
// is too large for the rule order key (ruledb/rule_order.h); `image` is then
// unspecified.
bool ReadPolicyImageFlat(std::span<const uint8_t> bytes, PolicyImage& image);

// Reads the file at `path` whole and then ReadPolicyImage. Returns an empty
// string, or "cannot read: <cause>" or "not a valid binary policy: <cause>".
// A file larger than any binary polc writes (or an endless device) is
// refused once that size is passed.
std::string LoadPolicyImage(const std::string& path, PolicyImage& image,
                            RewriteCheck rewriteCheck = RewriteCheck::NO);
