// Placeholder for the labeling section readers, so that the reader links:
// a "labeling" member is accepted and nothing is read from it yet.
#include "reader/json_parser.h"

int JsonParser::ReadLabelingSection(JsonValue*, PolicyModel&) { return 0; }
int JsonParser::ReadFileSection(JsonValue*, PolicyModel&) { return 0; }
int JsonParser::ReadReservedSidSection(JsonValue*, PolicyModel&) { return 0; }
int JsonParser::ReadNetifSection(JsonValue*, PolicyModel&) { return 0; }
int JsonParser::ReadPacketSection(JsonValue*, PolicyModel&) { return 0; }
int JsonParser::CheckInitialSidNames(const PolicyModel&) { return 0; }
