// polcq flow: where information can go from one name.
//
// Information flows from object o to subject s when the effective access of
// s on o has an operation that the permission map gives read direction, and
// from s to o when it has one of write direction ("both" is either). The
// weight of a flow is the highest weight among the operations that give it;
// only operations of at least the minimum weight count. The label of a step
// from X to Y is the operations that give it, by class in name order (those
// of Y on X that read, and of X on Y that write), and the weight:
// "file read write (10)".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/polcq/permission_map.h"
#include "tools/polcq/policy_query.h"
#include "tools/polcq/shortest_paths.h"

class InformationFlow : public PathSearch {
 public:
  InformationFlow(const QueryPolicy& policy, const PermissionMap& map, uint32_t minWeight);

  void StepsFrom(uint32_t from, const PathTree& tree, std::vector<PathStep>& steps) override;
  std::string Label(uint32_t from, uint32_t via, uint32_t to) const override;
  // The rules that let `to` read from `from`, then those that let `from`
  // write to `to`.
  std::vector<uint32_t> Reasons(uint32_t from, uint32_t via, uint32_t to) const override;

 private:
  // The rules whose object (reading) or subject (writing) a name is, and
  // which of them have been followed.
  struct Side {
    std::vector<std::vector<uint32_t>> rulesOn;  // by value: places
    std::vector<bool> followed;                  // by place
  };

  // The operations of `subject` on `object` that move information in
  // `direction`, one Effect per class.
  std::vector<Effect> Moving(uint32_t subject, uint32_t object, FlowDirection direction,
                             bool withRules) const;
  // Appends one step to each name the unfollowed rules of `side` on `from`
  // reach, at their subject (reading) or object (writing) end.
  void Follow(uint32_t from, const PathTree& tree, Side& side, bool toSubject,
              std::vector<PathStep>& steps);

  const QueryPolicy& policy;
  const PermissionMap& map;
  // By class: the bits that move information in each direction.
  std::vector<uint32_t> readBits;
  std::vector<uint32_t> writeBits;
  Side readers;
  Side writers;
};
