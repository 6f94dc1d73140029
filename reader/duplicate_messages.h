// The messages for a key met twice, shared by the section readers (twice in
// one file) and the merge (in two files), so both report it alike.
#pragma once

#include <string_view>

#include "reader/policy_model.h"

void LogDuplicatePath(std::string_view path);
void LogDuplicateSid(std::string_view sid);
void LogDuplicateNetif(std::string_view name);
void LogDuplicatePacket(const PacketKey& key);
void LogDuplicateTransition(const NamePool& names, const RuleKey& key);
