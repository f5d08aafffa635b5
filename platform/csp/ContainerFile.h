// One key container as it is kept on disk: its name, whether opening it needs
// a prompt, and at most one exchange and one signature key pair, each with its
// exportable flag. The file is text: a header line, then one "name", one
// "prompt" and up to two "pair" lines, with byte strings in hex and the pairs
// as PRIVATEKEYBLOBs.
#ifndef QVN_CSP_CONTAINERFILE_H
#define QVN_CSP_CONTAINERFILE_H

#include "RsaKey.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

namespace qvn
{
namespace csp
{

struct KeyPair {
    std::shared_ptr<const RsaKey> key;
    bool fExportable = false;
};

struct ContainerData {
    std::u16string strName;
    bool fNeedsPrompt = false;
    std::optional<KeyPair> exchange;  // AT_KEYEXCHANGE
    std::optional<KeyPair> signature; // AT_SIGNATURE
};

std::string FormatContainer(const ContainerData &container);
// Throws NTE_KEYSET_ENTRY_BAD when the text is not a container file.
ContainerData ParseContainer(const std::string &strText);

// Lowercase hex of bytes, and back (false for odd length or a bad digit).
std::string ToHex(const uint8_t *pb, size_t cb);
bool FromHex(const std::string &strHex, std::vector<uint8_t> *pBytes);

} // namespace csp
} // namespace qvn

#endif
