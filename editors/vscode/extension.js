// Starts polclsp for the JSON files of the workspace; the server itself
// tells which of them form the policy.
const { workspace } = require('vscode');
const { LanguageClient } = require('vscode-languageclient/node');

let client;

exports.activate = function () {
  const command = workspace.getConfiguration('polclsp').get('path', 'polclsp');
  client = new LanguageClient('polclsp', 'VARO policy', { command },
                              { documentSelector: [{ scheme: 'file', language: 'json' }] });
  return client.start();
};

exports.deactivate = function () {
  return client ? client.stop() : undefined;
};
