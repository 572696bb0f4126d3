// Cost of the exclusion predicate per scanned item: a disjunction of
// case-insensitive subpath pairs ($PATH IN[c] P AND P IN[c] $PATH), evaluated
// with the scanner's six variables, as the directory scanner does for every
// item it meets.

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "foundation/Predicate.h"

namespace {

using namespace quorvel;

PredicatePtr ExclusionOf(int paths, const char* prefix) {
  std::vector<PredicatePtr> alternatives;
  for (int i = 0; i < paths; ++i) {
    std::string path = std::string(prefix) + "/Folder " + std::to_string(i) + "/Caches";
    alternatives.push_back(Predicate::andPredicate(
        {Predicate::comparison(Expression::variable("PATH"), PredicateOperatorType::In, Expression::constant(path),
                               CaseInsensitivePredicateOption),
         Predicate::comparison(Expression::constant(path), PredicateOperatorType::In, Expression::variable("PATH"),
                               CaseInsensitivePredicateOption)}));
  }
  return Predicate::orPredicate(std::move(alternatives));
}

void EvaluateExclusion(benchmark::State& state, const char* prefix, const char* itemPath) {
  PredicatePtr exclusion = ExclusionOf(static_cast<int>(state.range(0)), prefix);
  Dictionary variables{{"PATH", itemPath},
                       {"NAME", "file.txt"},
                       {"TYPE", 1},
                       {"FILE_SIZE", 12345ull},
                       {"DATE_MODIFIED", Date(1000)},
                       {"DATE_CREATED", Date(900)}};
  for (auto _ : state) benchmark::DoNotOptimize(exclusion->evaluateWithObject(Value(), variables));
  state.SetItemsProcessed(state.iterations());
}

void BM_ExclusionAsciiPaths(benchmark::State& state) {
  EvaluateExclusion(state, "Library", "Documents/Projects/quorvel/src/foundation/file.txt");
}
BENCHMARK(BM_ExclusionAsciiPaths)->Arg(10)->Arg(100)->Arg(1000);

void BM_ExclusionNonAsciiPaths(benchmark::State& state) {
  EvaluateExclusion(state, "Bibliothèque", "Dokumente/Übersicht/Résumé/file.txt");
}
BENCHMARK(BM_ExclusionNonAsciiPaths)->Arg(10)->Arg(100);

void BM_ParseAndPrint(benchmark::State& state) {
  const std::string format = ExclusionOf(50, "Library")->predicateFormat();
  for (auto _ : state) {
    PredicatePtr predicate = Predicate::predicateWithFormat(format);
    benchmark::DoNotOptimize(predicate->predicateFormat());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(format.size()));
}
BENCHMARK(BM_ParseAndPrint);

}  // namespace
