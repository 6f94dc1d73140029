-- A real client: Neovim (0.7 and later) runs polclsp on the workspace in
-- the current folder, opens web.json, waits for its diagnostics, asks for a
-- completion and a definition, and prints what it got.
local root = vim.fn.getcwd()
local client = vim.lsp.start_client({ name = "polclsp", cmd = { "polclsp" }, root_dir = root })
vim.cmd("edit " .. root .. "/web.json")
local buffer = vim.api.nvim_get_current_buf()
vim.lsp.buf_attach_client(buffer, client)

local function say(text) io.stdout:write(text .. "\n") end

vim.wait(10000, function() return #vim.diagnostic.get(buffer) > 0 end, 20)
local diagnostics = vim.diagnostic.get(buffer)
table.sort(diagnostics, function(a, b) return a.lnum < b.lnum or (a.lnum == b.lnum and a.col < b.col) end)
for _, diagnostic in ipairs(diagnostics) do
  say(string.format("diagnostic %d:%d %s", diagnostic.lnum + 1, diagnostic.col + 1,
                    diagnostic.message:gsub("\n", " / ")))
end

local function request(method, line, character)
  local params = { textDocument = { uri = vim.uri_from_bufnr(buffer) },
                   position = { line = line, character = character } }
  local answers = vim.lsp.buf_request_sync(buffer, method, params, 10000) or {}
  for _, answer in pairs(answers) do return answer.result end
end

local completion = request("textDocument/completion", 1, 54) or { items = {} }
for _, item in ipairs(completion.items) do say("completion " .. item.label) end
for _, location in ipairs(request("textDocument/definition", 0, 52) or {}) do
  say(string.format("definition %s %d:%d", vim.fn.fnamemodify(vim.uri_to_fname(location.uri), ":t"),
                    location.range.start.line + 1, location.range.start.character + 1))
end
vim.lsp.stop_client(client)
vim.cmd("qa!")
