// Makes a chosen calloc call fail. The test program is linked with calloc
// wrapped, so every calloc of the rule database passes through here.
#pragma once

namespace ruledb_test {

// While the object lives, the n-th calloc call (counting from 1) and only
// that one returns null.
class CallocFault {
 public:
  explicit CallocFault(long n);
  ~CallocFault();
  CallocFault(const CallocFault&) = delete;
  CallocFault& operator=(const CallocFault&) = delete;

  // Whether the chosen call has happened.
  bool Fired() const;
};

}  // namespace ruledb_test
