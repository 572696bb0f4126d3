// libFuzzer target for the predicate format parser, printer and evaluator.
// Whatever parses must print, parse back to an equal predicate and evaluate
// the same with and without substituting its variables first.
//
// Predicates that mention MATCHES are parsed and printed but not evaluated:
// a backtracking regular expression may legitimately take exponential time on
// the fuzzer's own patterns, which would only report timeouts.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/Predicate.h"

namespace {

bool MentionsMatches(const std::string& text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
  return upper.find("MATCHES") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvel;
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::string error;
  if (ExpressionPtr expression = Expression::expressionWithFormat(text, &error)) {
    ExpressionPtr again = Expression::expressionWithFormat(expression->format());
    if (!again || !expression->isEqualToObject(*again)) std::abort();
  } else if (error.empty()) {
    std::abort();
  }

  error.clear();
  PredicatePtr predicate = Predicate::predicateWithFormat(text, Array{"argument", 7}, &error);
  if (!predicate) {
    if (error.empty()) std::abort();
    return 0;
  }
  const std::string printed = predicate->predicateFormat();
  PredicatePtr again = Predicate::predicateWithFormat(printed);
  if (!again || !predicate->isEqualToObject(*again)) std::abort();
  if (again->predicateFormat() != printed) std::abort();

  if (MentionsMatches(text)) return 0;
  static const Dictionary variables{{"PATH", "Docs/Old"}, {"NAME", "Old"},         {"TYPE", 1},
                                    {"FILE_SIZE", 4096},    {"WEEK_DAY", 3},       {"X", Array{1, "x", 2.5}},
                                    {"DATE_MODIFIED", Date(1000)}, {"NAN", std::nan("")}};
  static const Value object = Dictionary{{"name", "Crème"}, {"tags", Array{"a", "B"}}, {"size", 12},
                                         {"owner", Dictionary{{"name", "ann"}}}};
  bool direct = predicate->evaluateWithObject(object, variables);
  bool substituted = predicate->predicateWithSubstitutionVariables(variables)->evaluateWithObject(object);
  if (direct != substituted) std::abort();
  return 0;
}
