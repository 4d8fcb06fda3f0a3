#pragma once
// The one refusal of the agent: a request that will not be carried out, with a short
// machine-readable code for the platform and a sentence for people.
#include <stdexcept>
#include <string>

namespace orvel::commands {

class Rejected : public std::runtime_error {
 public:
  Rejected(std::string code, const std::string& detail)
      : std::runtime_error(detail), code_(std::move(code)) {}
  const std::string& code() const { return code_; }
  std::string detail() const { return what(); }

 private:
  std::string code_;
};

}  // namespace orvel::commands
