// Structure-aware variant of fuzz_policy: the input bytes are choices that
// build one policy source text from the keys, classes, operations and names
// the reader knows, so nearly every run gets past the JSON layer into the
// checks and the compiler. Now and then a choice takes a raw string from the
// input instead, so hostile text still meets every value check.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "fuzz/policy_pipeline.h"
#include "reader/class_table.h"
#include "reader/policy_model.h"
#include "tools/policy_source.h"

namespace {

constexpr uint16_t kClassCount = 30;

// Reads choices from the input; once it is used up every choice is 0.
class Choices {
 public:
  Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint16_t Word() {
    const uint8_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
  }
  size_t Below(size_t count) { return Byte() % count; }
  // True about once in `odds` choices; false once the input is used up.
  bool OneIn(size_t odds) { return Below(odds) == odds - 1; }

  // Up to 31 input bytes, taken as they are.
  std::string_view Raw() {
    const size_t wanted = Byte() % 32;
    const size_t length = std::min(wanted, size_ - position_);
    const std::string_view text(reinterpret_cast<const char*>(data_ + position_), length);
    position_ += length;
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

class PolicyWriter {
 public:
  explicit PolicyWriter(Choices& choices) : choices_(choices) {}

  std::string Write() {
    Object({{"declarations", &PolicyWriter::Declarations}, {"rules", &PolicyWriter::Rules}});
    return text_;
  }

 private:
  using Part = void (PolicyWriter::*)();
  struct Member {
    const char* key;
    Part value;
  };

  // Each member is written (mostly), left out or, rarely, written twice, in
  // the order given.
  void Object(std::initializer_list<Member> members) {
    text_ += '{';
    bool first = true;
    for (const Member& member : members) {
      const size_t copies = choices_.OneIn(32) ? 2 : choices_.Below(4) != 0 ? 1 : 0;
      for (size_t copy = 0; copy < copies; ++copy) {
        if (!first) text_ += ',';
        first = false;
        Quoted(member.key);
        text_ += ':';
        (this->*member.value)();
      }
    }
    text_ += '}';
  }

  // An array of up to `most` elements.
  void Array(Part element, size_t most) {
    text_ += '[';
    for (size_t count = choices_.Below(most + 1); count > 0; --count) {
      (this->*element)();
      if (count > 1) text_ += ',';
    }
    text_ += ']';
  }

  void Quoted(std::string_view text) { text_ += QuoteJsonString(std::string(text)); }

  // One of `pool`, or rarely a raw string from the input.
  void OneOf(std::initializer_list<std::string_view> pool) {
    if (choices_.OneIn(16)) {
      Quoted(choices_.Raw());
    } else {
      Quoted(pool.begin()[choices_.Below(pool.size())]);
    }
  }

  void TypeName() { OneOf({"t0", "t1", "t2", "t3", "t4", "t5"}); }
  void AttrName() { OneOf({"a0", "a1", "a2"}); }
  void AnyName() { OneOf({"t0", "t1", "t2", "t3", "t4", "t5", "a0", "a1", "a2", "undeclared"}); }

  void Declarations() {
    Object({{"type", &PolicyWriter::Types},
            {"attr", &PolicyWriter::Attrs},
            {"require", &PolicyWriter::Requires},
            {"typeattr", &PolicyWriter::TypeAttrs},
            {"labeling", &PolicyWriter::Labeling}});
  }
  void Types() { Array(&PolicyWriter::TypeName, 6); }
  void Attrs() { Array(&PolicyWriter::AttrName, 3); }
  void Requires() { Array(&PolicyWriter::AnyName, 2); }
  void TypeAttrs() {
    text_ += '{';
    for (size_t count = choices_.Below(4); count > 0; --count) {
      TypeName();
      text_ += ':';
      Attrs();
      if (count > 1) text_ += ',';
    }
    text_ += '}';
  }

  void Labeling() {
    Object({{"file", &PolicyWriter::Files},
            {"reserved_sid", &PolicyWriter::Sids},
            {"netif", &PolicyWriter::Netifs},
            {"packet", &PolicyWriter::Packets}});
  }
  void Files() { Array(&PolicyWriter::File, 3); }
  void File() { Object({{"path", &PolicyWriter::Path}, {"context", &PolicyWriter::AnyName}}); }
  void Path() { OneOf({"/bin/sh", "/data(/.*)?", "/dev/[a-z]+", "/", "relative", "/a/../b"}); }
  void Sids() { Array(&PolicyWriter::Sid, 3); }
  void Sid() { Object({{"sid", &PolicyWriter::SidName}, {"context", &PolicyWriter::AnyName}}); }
  void SidName() {
    OneOf({INITIAL_SID_NAMES[0], INITIAL_SID_NAMES[1], INITIAL_SID_NAMES[2], INITIAL_SID_NAMES[3],
           "Kernel"});
  }
  void Netifs() { Array(&PolicyWriter::Netif, 2); }
  void Netif() {
    Object({{"name", &PolicyWriter::NetifName}, {"context", &PolicyWriter::AnyName}});
  }
  void NetifName() { OneOf({"eth0", "lo", "wlan0", ""}); }
  void Packets() { Array(&PolicyWriter::Packet, 2); }
  void Packet() {
    Object({{"prot", &PolicyWriter::Protocol},
            {"source", &PolicyWriter::Prefix},
            {"destination", &PolicyWriter::Prefix},
            {"sport", &PolicyWriter::Ports},
            {"dport", &PolicyWriter::Ports},
            {"context", &PolicyWriter::AnyName}});
  }
  void Protocol() { OneOf({"tcp", "udp", "icmp", "ip", "TCP", "nonesuch"}); }
  // Mostly well formed, with byte values that reach past every limit.
  void Prefix() {
    if (choices_.OneIn(8)) {
      Quoted(choices_.Raw());
      return;
    }
    std::string prefix;
    for (int part = 0; part < 4; ++part) {
      prefix += std::to_string(choices_.Byte() + (choices_.OneIn(16) ? 256 : 0));
      prefix += part < 3 ? "." : "/";
    }
    Quoted(prefix + std::to_string(choices_.Below(40)));
  }
  void Ports() {
    if (choices_.OneIn(8)) {
      Quoted(choices_.Raw());
      return;
    }
    std::string ports = std::to_string(choices_.Word());
    if (choices_.OneIn(2)) ports += "-" + std::to_string(choices_.Word() + choices_.Below(2));
    Quoted(ports);
  }

  void Rules() { Array(&PolicyWriter::Rule, 4); }
  void Rule() {
    Object({{"group", &PolicyWriter::AnyName},
            {"subject", &PolicyWriter::AnyName},
            {"teac", &PolicyWriter::Grants},
            {"type_transition", &PolicyWriter::Transitions}});
  }
  void Grants() { Array(&PolicyWriter::Grant, 3); }
  void Grant() {
    Object({{"object", &PolicyWriter::AnyName},
            {"class", &PolicyWriter::Class},
            {"operation", &PolicyWriter::Operations}});
  }
  void Transitions() { Array(&PolicyWriter::Transition, 2); }
  void Transition() {
    Object({{"object", &PolicyWriter::AnyName},
            {"class", &PolicyWriter::Class},
            {"target", &PolicyWriter::AnyName}});
  }
  // The class chosen last decides the operations that follow, so most of them
  // belong to it.
  void Class() {
    classIndex_ = static_cast<uint16_t>(1 + choices_.Below(kClassCount));
    OneOf({GetClassName(classIndex_)});
  }
  void Operations() { Array(&PolicyWriter::Operation, 4); }
  void Operation() {
    const char* name = GetOperationName(classIndex_, 1u << choices_.Below(32));
    OneOf({name != nullptr ? name : "nonesuch"});
  }

  Choices& choices_;
  std::string text_;
  uint16_t classIndex_ = 1;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  policy_pipeline::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Choices choices(data, size);
  const std::string text = PolicyWriter(choices).Write();
  policy_pipeline::Run(text.data(), text.size());
  return 0;
}
