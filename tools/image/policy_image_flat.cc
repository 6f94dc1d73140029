// ReadPolicyImageFlat: one pass from the bytes into a PolicyImage, with no
// table and no allocation per record beyond the strings the image holds.
//
// It takes an image only where the database's reader would build the very
// same image: the reader's checks, plus every text free of NULs (the reader
// would cut it there) and symbols, file contexts and rules in the order of
// the reader's tables (bucket by bucket, keys ascending in each). That order
// is how the database lists them, so the image is the same record for
// record, even where two symbols share a value; and since it admits no key
// twice it also refuses every repeated name, path or rule without sorting.
#include <cstring>
#include <string_view>
#include <utility>

#include "base/huge_pages.h"
#include "bounded/bounded.h"
#include "ruledb/hash_tbl.h"
#include "ruledb/little_endian.h"
#include "ruledb/policy_binary.h"
#include "ruledb/rule_order.h"
#include "tools/image/policy_image.h"

namespace {

// The bytes not read yet; every take checks that enough are left.
class ImageBytes {
 public:
  explicit ImageBytes(std::span<const uint8_t> bytes)
      : at(bytes.data()), end(bytes.data() + bytes.size()) {}

  uint64_t Left() const { return static_cast<uint64_t>(end - at); }

  // Whether the bytes left can hold `count` records of `recordMin` bytes.
  bool Holds(uint64_t count, uint64_t recordMin) const { return count <= Left() / recordMin; }

  // The next `count` bytes, or null when fewer are left.
  const uint8_t* Take(uint64_t count) {
    if (count > Left()) return nullptr;
    const uint8_t* taken = at;
    at += count;
    return taken;
  }

  bool U16(uint16_t& value) {
    const uint8_t* bytes = Take(2);
    if (bytes != nullptr) value = LoadU16Le(bytes);
    return bytes != nullptr;
  }

  // A record count, refused as the reader refuses it.
  bool Count(uint64_t recordMin, uint32_t& count) {
    const uint8_t* bytes = Take(4);
    if (bytes != nullptr) count = LoadU32Le(bytes);
    return bytes != nullptr && Holds(count, recordMin);
  }

  // A text of `length` bytes. The reader refuses lengths of 0 and above
  // what it copies at once (4294967295 among them).
  bool Text(uint32_t length, std::string_view& text) {
    if (length == 0 || length > bounded::BOUNDED_SIZE_MAX) return false;
    const uint8_t* bytes = Take(length);
    if (bytes == nullptr || std::memchr(bytes, 0, length) != nullptr) return false;
    text = {reinterpret_cast<const char*>(bytes), length};
    return true;
  }

 private:
  const uint8_t* at;
  const uint8_t* end;
};

// Whether the keys come in the order of a table of the reader sized for
// `count` entries: buckets ascending, keys strictly ascending within one.
template <typename Key>
class TableOrder {
 public:
  explicit TableOrder(uint32_t count) : bucketMask(HashTblBucketCount(count) - 1) {}

  bool Next(uint32_t hash, Key key) {
    const std::pair<uint32_t, Key> current{hash & bucketMask, key};
    const bool ascending = first || last < current;
    first = false;
    last = current;
    return ascending;
  }

 private:
  uint32_t bucketMask;
  bool first = true;
  std::pair<uint32_t, Key> last{};
};

// The string table's hash: of the bytes before the NUL, which a text here
// does not hold.
uint32_t TextHash(std::string_view text) { return MurmurHash3X86(text.data(), text.size(), 0); }

bool ReadHeader(ImageBytes& in, PolicyImage& image) {
  const uint8_t* header = in.Take(POLICY_HEADER_SIZE);
  if (header == nullptr || LoadU32Le(header) != POLICY_MAGIC ||
      LoadU32Le(header + 12) != POLICY_SYM_CNT || LoadU32Le(header + 16) != POLICY_OBJ_CNT) {
    return false;
  }
  image.version = LoadU32Le(header + 4);
  image.flags = LoadU32Le(header + 8);
  return true;
}

// A section's count, with as many empty records made for it.
template <typename Record>
bool StartRecords(ImageBytes& in, uint64_t recordMin, std::vector<Record>& records) {
  uint32_t count = 0;
  if (!in.Count(recordMin, count)) return false;
  // Written right away, up to tens of megabytes.
  records.reserve(count);
  AdviseHugePages(records.data(), count * sizeof(Record));
  records.resize(count);
  return true;
}

bool ReadSymbols(ImageBytes& in, PolicyImage& image) {
  if (!StartRecords(in, POLICY_SYMBOL_RECORD_MIN, image.symbols)) return false;
  const auto count = static_cast<uint32_t>(image.symbols.size());
  TableOrder<std::string_view> order(count);
  for (SymbolRecord& symbol : image.symbols) {
    const uint8_t* lengthAndValue = in.Take(8);
    std::string_view name;
    if (lengthAndValue == nullptr || !in.Text(LoadU32Le(lengthAndValue), name)) return false;
    symbol.value = LoadU32Le(lengthAndValue + 4);
    if (symbol.value >= count || !order.Next(TextHash(name), name)) return false;
    symbol.name = name;
  }
  return true;
}

bool ReadInitialSid(ImageBytes& in, InitialSidRecord& sid) {
  const uint8_t* bytes = in.Take(6);
  if (bytes == nullptr) return false;
  sid = {LoadU32Le(bytes), LoadU16Le(bytes + 4)};
  return true;
}

bool ReadNetif(ImageBytes& in, NetifRecord& netif) {
  const uint8_t* lengthAndType = in.Take(6);
  std::string_view name;
  if (lengthAndType == nullptr || !in.Text(LoadU32Le(lengthAndType), name)) return false;
  netif = {std::string(name), LoadU16Le(lengthAndType + 4)};
  return true;
}

bool ReadPacket(ImageBytes& in, PacketRecord& packet) {
  const uint8_t* bytes = in.Take(POLICY_OBJ_CTX_RECORD_MIN[OBJ_CTX_PACKET]);
  if (bytes == nullptr) return false;
  packet = {LoadU16Le(bytes + 24), LoadU32Le(bytes),      LoadU32Le(bytes + 4),
            LoadU32Le(bytes + 8),  LoadU32Le(bytes + 12), LoadU16Le(bytes + 16),
            LoadU16Le(bytes + 18), LoadU16Le(bytes + 20), LoadU16Le(bytes + 22),
            LoadU16Le(bytes + 26)};
  return true;
}

// One object context block, present exactly when the kind's flag is set.
template <typename Record>
bool ReadObjectBlock(ImageBytes& in, uint32_t flags, ObjCtxKind kind, std::vector<Record>& records,
                     bool (*readRecord)(ImageBytes&, Record&)) {
  if ((flags & POLICY_OBJ_CTX_FLAGS[kind]) == 0) return true;
  if (!StartRecords(in, POLICY_OBJ_CTX_RECORD_MIN[kind], records)) return false;
  for (Record& record : records) {
    if (!readRecord(in, record)) return false;
  }
  return true;
}

bool ReadObjectContexts(ImageBytes& in, PolicyImage& image) {
  return ReadObjectBlock(in, image.flags, OBJ_CTX_INITIAL_SID, image.initialSids, ReadInitialSid) &&
         ReadObjectBlock(in, image.flags, OBJ_CTX_NETIF, image.netifs, ReadNetif) &&
         ReadObjectBlock(in, image.flags, OBJ_CTX_PACKET, image.packets, ReadPacket);
}

bool ReadFileContexts(ImageBytes& in, PolicyImage& image) {
  if ((image.flags & FLAG_FILE_CONTEXT) == 0) return true;
  if (!StartRecords(in, POLICY_FILE_CTX_RECORD_MIN, image.fileContexts)) return false;
  TableOrder<std::string_view> order(static_cast<uint32_t>(image.fileContexts.size()));
  for (FileContextRecord& file : image.fileContexts) {
    const uint8_t* lengths = in.Take(8);
    std::string_view path;
    std::string_view context;
    if (lengths == nullptr || !in.Text(LoadU32Le(lengths), path) ||
        !in.Text(LoadU32Le(lengths + 4), context) || !order.Next(TextHash(path), path)) {
      return false;
    }
    file = {std::string(path), std::string(context)};
  }
  return true;
}

bool ReadTypeAttrs(ImageBytes& in, PolicyImage& image) {
  if ((image.flags & FLAG_TYPEATTR) == 0) return true;
  // No count of its own: one entry per 16-bit symbol value.
  const auto count = static_cast<uint32_t>(image.symbols.size() & POLICY_TYPEATTR_INDEX_MASK);
  if (!in.Holds(count, POLICY_TYPEATTR_ENTRY_MIN)) return false;
  image.typeAttrs.resize(count);
  for (std::vector<uint16_t>& members : image.typeAttrs) {
    uint16_t memberCount = 0;
    if (!in.U16(memberCount) || memberCount == 0) return false;
    const uint8_t* values = in.Take(uint64_t{memberCount} * 2);
    if (values == nullptr) return false;
    members.resize(memberCount);
    for (uint16_t i = 0; i < memberCount; ++i) members[i] = LoadU16Le(values + 2 * i);
  }
  return true;
}

bool ReadRules(ImageBytes& in, PolicyImage& image) {
  if (!StartRecords(in, POLICY_RULE_RECORD_SIZE, image.rules)) return false;
  // The count fits the bytes left, so every record is there.
  const uint8_t* record = in.Take(image.rules.size() * POLICY_RULE_RECORD_SIZE);
  TableOrder<uint64_t> order(static_cast<uint32_t>(image.rules.size()));
  for (RuleRecord& rule : image.rules) {
    rule = {RuleTblKeyFromBytes(record), LoadU32Le(record + RULE_TBL_KEY_BYTES)};
    if (!RuleOrderFits(rule.key) ||
        !order.Next(MurmurHash3X86(record, RULE_TBL_KEY_BYTES, 0), RuleTableOrder(rule.key))) {
      return false;
    }
    record += POLICY_RULE_RECORD_SIZE;
  }
  return true;
}

}  // namespace

bool ReadPolicyImageFlat(std::span<const uint8_t> bytes, PolicyImage& image) {
  image = PolicyImage{};
  image.fileSize = bytes.size();
  ImageBytes in(bytes);
  const bool read = ReadHeader(in, image) && ReadSymbols(in, image) &&
                    ReadObjectContexts(in, image) && ReadFileContexts(in, image) &&
                    ReadTypeAttrs(in, image) && ReadRules(in, image);
  image.imageSize = bytes.size() - in.Left();
  return read;
}
