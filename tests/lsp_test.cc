// The language server over a long session: 10,000 edits, each bringing ten
// new names, leave its memory where it was once the text is back.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "base/diagnostic.h"
#include "base/json_string.h"
#include "bench/lsp_client.h"
#include "bench/policy_generator.h"
#include "tests/support/polc_test.h"
#include "tools/polclsp/cursor_context.h"

namespace {

std::string Quoted(const std::string& text) {
  std::string quoted;
  AppendJsonString(quoted, text);
  return quoted;
}

// The server is built like this test: under a sanitizer, which keeps freed
// memory in quarantine, its memory says nothing.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define POLC_SANITIZED
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(POLC_SANITIZED)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

TEST(LanguageServer, MemoryComesBackAfterTenThousandEdits) {
  if (SANITIZED) GTEST_SKIP() << "a sanitizer keeps freed memory in quarantine";
  // A policy of some size, and a small file of it that the author edits.
  const polc_bench::PolicyShape shape{"lsp", 3, 3000, 60, 3000, 30000, 1000, 3000, 8, 30};
  const polc_test::TempDir dir;
  for (uint32_t file = 0; file < shape.files; ++file) {
    dir.Write(polc_bench::PolicyFileName(file), GeneratePolicyFile(shape, file));
  }
  const std::string text = R"({"declarations": {"type": ["edited_t"]},
 "rules": [{"subject": "edited_t", "teac": [{"object": "edited_t", "class": "file", "operation": ["read"]}]}]}
)";
  const std::string uri = Quoted("file://" + dir.Write("edited.json", text));
  LspClient server(POLCLSP_BINARY);
  server.Send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"rootUri":)" +
              Quoted("file://" + dir.path()) + "}}");
  int id = 0;
  // An edit, then a request that makes the server read the text at once:
  // completion, or now and then one that has it check the whole policy.
  const auto edit = [&](const std::string& newText, const char* method) {
    server.Send(
        R"({"jsonrpc":"2.0","method":"textDocument/didChange","params":{"textDocument":{"uri":)" +
        uri + R"(},"contentChanges":[{"text":)" + Quoted(newText) + "}]}}");
    server.Send(R"({"jsonrpc":"2.0","id":)" + std::to_string(++id) + R"(,"method":")" + method +
                R"(","params":{"textDocument":{"uri":)" + uri +
                R"(},"position":{"line":0,"character":0}}})");
  };
  std::mt19937 random(23);
  // Batches of a hundred edits, each declaring ten names of its own, then
  // the text as it was; the server's resident memory then.
  const auto editAway = [&](int batches) {
    for (int batch = 0; batch < batches; ++batch) {
      for (int i = 0; i < 100; ++i) {
        std::string changed = text;
        for (int name = 0; name < 10; ++name) {
          changed.insert(changed.find("\"edited_t\"]"), "\"n" + std::to_string(random()) + "\", ");
        }
        edit(changed, i == 0 ? "textDocument/documentSymbol" : "textDocument/completion");
      }
      server.ReceiveAnswer(id);
    }
    edit(text, "textDocument/documentSymbol");
    server.ReceiveAnswer(id);
    return server.ResidentKilobytes();
  };
  server.ReceiveAnswer(0);
  // The first edits warm the server up (its buffers, the allocator's). Its
  // resident size then swings by a 2 MiB block as the name pools compact
  // every few batches: start from the top of that swing.
  long before = 0;
  for (int batch = 0; batch < 4; ++batch) before = std::max(before, editAway(1));
  const long after = editAway(100);
  EXPECT_LE(after, before + before / 10) << "kB before " << before << ", after " << after;
}

// Where a cursor ("|") stands in half-typed text: the keys to it, whether
// in a key or a value, what is typed of it, and the string members of its
// object, after the cursor too.
TEST(LanguageServer, CursorsAreFoundInHalfTypedText) {
  using enum CursorContext::Where;
  struct Row {
    std::string text;
    std::string path;  // joined with blanks
    CursorContext::Where where;
    std::string prefix;
    std::string siblings;  // key=value, joined with blanks
  };
  const Row rows[] = {
      {R"({"rules": [{"subject": "a", "teac": [{"object": "b", "class": "fi|"}]}]})",
       "rules [] teac [] class", VALUE, "fi", "object=b"},
      {R"({"rules": [{"teac": [{"class": "file", "operation": ["x", "re|"], "object": "o"}]}]})",
       "rules [] teac [] operation []", VALUE, "re", "class=file object=o"},
      {R"({"declarations": {"type": ["a"], "ty|)", "declarations", KEY, "ty", ""},
      {R"({"declarations": {"type": ["a"], |})", "declarations", KEY, "", ""},
      {R"({"declarations": {"typeattr": {"in|": ["a"]}}})", "declarations typeattr", KEY, "in", ""},
      {"{\"rules\": [{\"subject\": \"do|\n", "rules [] subject", VALUE, "do", ""},
      {R"({"a": "x\"y|"})", "a", VALUE, "x\\\"y", ""},
      {R"({"rules": [] |)", "rules", OTHER, "", ""},
      {"|", "", OTHER, "", ""}};
  for (const Row& row : rows) {
    std::string text = row.text;
    const size_t cursor = text.find('|');
    text.erase(cursor, 1);
    const CursorContext context = ScanCursor(text, static_cast<uint32_t>(cursor));
    std::string path;
    for (const std::string& key : context.path) path += (path.empty() ? "" : " ") + key;
    std::string siblings;
    for (const auto& [key, value] : context.siblings) {
      siblings += (siblings.empty() ? "" : " ") + key + "=" + value;
    }
    EXPECT_EQ(path, row.path) << row.text;
    EXPECT_EQ(context.where, row.where) << row.text;
    EXPECT_EQ(context.prefix, row.prefix) << row.text;
    EXPECT_EQ(siblings, row.siblings) << row.text;
  }
}

// Every character boundary of a text goes to the protocol's position (UTF-16
// code units) and back; a malformed byte counts as one unit.
TEST(LanguageServer, PositionsCountUtf16CodeUnits) {
  const std::string text =
      "a\xC3\xA9\xF0\x9F\x98\x80"
      "b\n\xFF"
      "x\r\n\n\xE2\x82\xAC";
  const SourceLines lines(text);
  const std::pair<uint32_t, LineColumn> places[] = {
      {0, {1, 1}}, {1, {1, 2}},  {3, {1, 3}},  {7, {1, 5}},  {8, {1, 6}},
      {9, {2, 1}}, {10, {2, 2}}, {13, {3, 1}}, {14, {4, 1}}, {17, {4, 2}}};
  for (const auto& [offset, place] : places) {
    const LineColumn found = lines.At(offset, ColumnUnit::UTF16);
    EXPECT_EQ(found.line, place.line) << offset;
    EXPECT_EQ(found.column, place.column) << offset;
    EXPECT_EQ(lines.OffsetOf(place, ColumnUnit::UTF16), offset) << offset;
  }
  // Past a line's end, the end of the line; past the last line, the text's.
  EXPECT_EQ(lines.OffsetOf({1, 99}, ColumnUnit::UTF16), 8u);
  EXPECT_EQ(lines.OffsetOf({9, 1}, ColumnUnit::UTF16), text.size());
}

}  // namespace
