// Rewriting the predicates a backup keeps. PreparePredicate turns a rule
// editor's predicate (key paths such as "FILE_SIZE" or "WEEK_DAY") into the
// form the scanner and the schedule test evaluate (variables such as
// $FILE_SIZE). And schedule conditions stored by
// settings of versions 0 and 1 named their key paths and choices by the rule
// editor's display texts of the time ("Week day", "Sunday"); FixPredicate
// turns them into the names used since ("WEEK_DAY", "0").
//
// The old texts are looked up in the string table "PredicateEditor"
// (resources/PredicateEditor.strings); a text the table lacks is kept as it
// is. Predicates are immutable: the functions build new ones.
#pragma once

#include <optional>

#include "foundation/Predicate.h"
#include "foundation/Value.h"

namespace quorvel {

// The string table of the rule editor's old display texts.
inline constexpr const char* kPredicateEditorStringTable = "PredicateEditor";

// A comparison of key path K with R becomes a comparison of key path K'
// (the table's text for K) with R, same operator, modifier and options;
// when K' is "TYPE", "WEEK_DAY" or "POWER_SOURCE", a constant R becomes the
// table's text for it. Compounds are converted member by member. Null for
// any other kind of predicate (true, false, a comparison whose left side is
// not a key path), and for a compound with such a member.
PredicatePtr FixPredicate(const PredicatePtr& predicate);

// A comparison of key path K with R becomes:
//   "NETWORK_SERVICE": for every service that `networkServices` (service
//     name -> active flag) marks active, the comparison of the constant
//     name with R; their disjunction, or null when none is active or the
//     table is unknown;
//   "FILE_SIZE": $TYPE == 1 AND $FILE_SIZE <op> R (sizes count for files only);
//   "TYPE", "WEEK_DAY", "POWER_SOURCE": $K <op> the integer value of R's
//     constant (the editor offers them as choices, stored as texts);
//   any other K: $K <op> R;
// always with the same operator, modifier and options. Compounds are
// prepared member by member; a member that prepares to null counts as
// false there (no active service matches nothing). Null for any other kind
// of predicate.
PredicatePtr PreparePredicate(const PredicatePtr& predicate, const std::optional<Dictionary>& networkServices);

}  // namespace quorvel
