// Rewriting the predicates a backup keeps: schedule conditions stored by
// settings of versions 0 and 1 named their key paths and choices by the rule
// editor's display texts of the time ("Week day", "Sunday"); FixPredicate
// turns them into the names used since ("WEEK_DAY", "0").
//
// The old texts are looked up in the string table "PredicateEditor"
// (resources/PredicateEditor.strings); a text the table lacks is kept as it
// is. Predicates are immutable: the functions build new ones.
#pragma once

#include "foundation/Predicate.h"

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

}  // namespace quorvel
