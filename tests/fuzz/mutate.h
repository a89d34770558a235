// Mutations of valid manifests: blind byte edits and edits that know the manifest's shape
// (values of the keys the reader uses, strings, digit runs, nesting, line ends).
#pragma once

#include "fuzz_util.h"

#include <string>

namespace fuzz {

enum MutationKind {
    MUTATE_FLIP_BIT,
    MUTATE_SET_BYTE,
    MUTATE_TRUNCATE,
    MUTATE_INSERT_BYTES,
    MUTATE_INSERT_TOKEN,
    MUTATE_DELETE_SPAN,
    MUTATE_DUPLICATE_SPAN,
    MUTATE_MOVE_SPAN,
    MUTATE_DEEP_NESTING,
    MUTATE_HUGE_NUMBER,
    MUTATE_LONG_STRING,
    MUTATE_INVALID_UTF8,
    MUTATE_ESCAPE,
    MUTATE_BOM,
    MUTATE_LINE_ENDS,
    MUTATE_REPLACE_VALUE,
    MUTATION_KINDS
};

const char* MutationName(MutationKind kind);
// One mutation of the given kind, in place.
void ApplyMutation(std::string* bytes, MutationKind kind, Rng& rng);
// One to four random mutations; the kinds applied are added to `kinds` (a bit per kind) if given.
std::string MutateManifest(const std::string& seed, Rng& rng, uint32_t* kinds = nullptr);

// Mutated inputs are capped at this size (deep nesting and duplication grow them).
static const size_t MAX_MUTATED_SIZE = 1 << 20;

} // namespace fuzz
