// The faults of a key met twice, shared by the section readers (twice in one
// file) and the merge (in two files), so both report it alike.
#pragma once

#include <string_view>

#include "reader/policy_model.h"
#include "reader/validators.h"

Fault DuplicatePath(std::string_view path);
Fault DuplicateSid(std::string_view sid);
Fault DuplicateNetif(std::string_view name);
Fault DuplicatePacket(const PacketKey& key);
Fault DuplicateTransition(const NamePool& names, const RuleKey& key);
