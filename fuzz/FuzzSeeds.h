// The seed corpus of the harness, encoded with the vocabulary of
// FuzzChoices.h: one file per scenario.
#ifndef QVN_FUZZ_FUZZSEEDS_H
#define QVN_FUZZ_FUZZSEEDS_H

namespace qvnfuzz
{

// Writes every seed into the directory (which must exist); false on an I/O
// error.
bool WriteSeedCorpus(const char *pszDirectory);

} // namespace qvnfuzz

#endif
