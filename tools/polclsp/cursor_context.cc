#include "tools/polclsp/cursor_context.h"

#include <algorithm>
#include <utility>

namespace {

// An object or array the scan is in.
struct Frame {
  bool isObject;
  std::string key;                             // of the member whose value is being read
  bool expectingKey = true;                    // objects: a key comes next
  std::map<std::string, std::string> members;  // its string members
  std::set<std::string> keys;
};

// The position of the quote that ends the string opening at `pos`, or of
// the end of its line when it is not closed there.
size_t StringEnd(std::string_view text, size_t pos) {
  for (++pos; pos < text.size() && text[pos] != '"' && text[pos] != '\n'; ++pos) {
    if (text[pos] == '\\' && pos + 1 < text.size() && text[pos + 1] != '\n') ++pos;
  }
  return pos;
}

class Scan {
 public:
  explicit Scan(std::string_view text) : text(text) {}

  // Reads the token at `pos`, unless it is a string holding `cursor`;
  // returns the position after it, or that string's opening quote.
  size_t Step(size_t pos, size_t cursor) {
    switch (text[pos]) {
      case '{':
      case '[':
        frames.push_back({text[pos] == '{', "", text[pos] == '{', {}, {}});
        return pos + 1;
      case '}':
      case ']':
        if (!frames.empty()) frames.pop_back();
        return pos + 1;
      case ',':
        if (!frames.empty() && frames.back().isObject) {
          frames.back().expectingKey = true;
          frames.back().key.clear();
        }
        return pos + 1;
      case ':':
        if (!frames.empty()) frames.back().expectingKey = false;
        return pos + 1;
      case '"':
        return String(pos, cursor);
      default:
        return pos + 1;
    }
  }

  std::vector<Frame> frames;

 private:
  size_t String(size_t pos, size_t cursor) {
    const size_t end = StringEnd(text, pos);
    if (pos < cursor && cursor <= end) return pos;
    const std::string word(text.substr(pos + 1, end - pos - 1));
    if (!frames.empty() && frames.back().isObject) {
      Frame& frame = frames.back();
      if (frame.expectingKey) {
        frame.key = word;
        frame.keys.insert(word);
      } else if (!frame.key.empty()) {
        frame.members.emplace(frame.key, word);
      }
    }
    return std::min(end + 1, text.size());
  }

  std::string_view text;
};

}  // namespace

CursorContext ScanCursor(std::string_view text, uint32_t at) {
  const size_t cursor = std::min<size_t>(at, text.size());
  Scan scan(text);
  CursorContext context;
  size_t pos = 0;
  while (pos < cursor) {
    const size_t next = scan.Step(pos, cursor);
    if (next == pos) break;  // the cursor is in the string at `pos`
    pos = next;
  }
  const bool inObject = !scan.frames.empty() && scan.frames.back().isObject;
  const bool inKey = inObject && scan.frames.back().expectingKey;
  if (pos < cursor) {
    const size_t end = StringEnd(text, pos);
    context.where = inKey ? CursorContext::Where::KEY : CursorContext::Where::VALUE;
    context.inString = true;
    context.tokenStart = static_cast<uint32_t>(pos);
    context.prefix = text.substr(pos + 1, cursor - pos - 1);
    context.token = text.substr(pos + 1, end - pos - 1);
  } else if (inKey) {
    context.where = CursorContext::Where::KEY;
  }
  for (const Frame& frame : scan.frames) {
    if (!frame.isObject) {
      context.path.push_back("[]");
    } else if (&frame != &scan.frames.back() || !inKey) {
      context.path.push_back(frame.key);
    }
  }
  // The innermost object's members, after the cursor too, to its end.
  size_t depth = scan.frames.size();
  while (depth > 0 && !scan.frames[depth - 1].isObject) --depth;
  if (depth == 0) return context;
  const bool cursorInKey = inKey && depth == scan.frames.size();
  const std::string ownKey = cursorInKey ? context.token : scan.frames[depth - 1].key;
  pos = context.inString ? StringEnd(text, pos) + 1 : cursor;
  for (; pos < text.size() && scan.frames.size() >= depth; pos = scan.Step(pos, 0)) {
    if (scan.frames.size() == depth && (text[pos] == '}' || text[pos] == ']')) break;
  }
  if (scan.frames.size() < depth) return context;
  Frame& innermost = scan.frames[depth - 1];
  context.siblings = std::move(innermost.members);
  context.keys = std::move(innermost.keys);
  context.siblings.erase(ownKey);
  context.keys.erase(ownKey);
  return context;
}

std::string ObjectKind(const std::vector<std::string>& path) {
  static const std::pair<std::vector<std::string>, const char*> KINDS[] = {
      {{}, "root"},
      {{"declarations"}, "declarations"},
      {{"declarations", "labeling"}, "labeling"},
      {{"declarations", "typeattr"}, "typeattr"},
      {{"rules", "[]"}, "statement"},
      {{"rules", "[]", "teac", "[]"}, "teac"},
      {{"rules", "[]", "type_transition", "[]"}, "type_transition"},
      {{"declarations", "labeling", "file", "[]"}, "file"},
      {{"declarations", "labeling", "reserved_sid", "[]"}, "reserved_sid"},
      {{"declarations", "labeling", "netif", "[]"}, "netif"},
      {{"declarations", "labeling", "packet", "[]"}, "packet"},
  };
  for (const auto& [kindPath, kind] : KINDS) {
    if (kindPath == path) return kind;
  }
  return "";
}
