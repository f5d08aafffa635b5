// The byte stream of one fuzz input, read front to back. Reading past the end
// yields zeros, so every input, however short, decodes to a finite sequence
// of calls. The writer produces the same layout for the seed corpus.
#ifndef QVN_FUZZ_FUZZINPUT_H
#define QVN_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvnfuzz
{

class InputReader
{
public:
    InputReader(const uint8_t *pbData, size_t cbData) : m_pbData(pbData), m_cbData(cbData) {}

    bool AtEnd() const { return m_iNext >= m_cbData; }

    uint8_t Byte() { return m_iNext < m_cbData ? m_pbData[m_iNext++] : 0; }

    uint32_t Dword()
    {
        uint32_t dwValue = 0;
        for (int i = 0; i < 4; ++i) {
            dwValue |= static_cast<uint32_t>(Byte()) << (8 * i);
        }
        return dwValue;
    }

    uint64_t Qword()
    {
        const uint64_t qwLow = Dword();
        return qwLow | (static_cast<uint64_t>(Dword()) << 32);
    }

    std::vector<uint8_t> Bytes(size_t cb)
    {
        std::vector<uint8_t> bytes;
        bytes.reserve(cb);
        for (size_t i = 0; i < cb && !AtEnd(); ++i) {
            bytes.push_back(Byte());
        }
        return bytes;
    }

private:
    const uint8_t *m_pbData;
    size_t m_cbData;
    size_t m_iNext = 0;
};

class InputWriter
{
public:
    InputWriter &Byte(uint8_t b)
    {
        m_bytes.push_back(b);
        return *this;
    }
    InputWriter &Dword(uint32_t dw)
    {
        for (int i = 0; i < 4; ++i) {
            Byte(static_cast<uint8_t>(dw >> (8 * i)));
        }
        return *this;
    }
    InputWriter &Qword(uint64_t qw)
    {
        Dword(static_cast<uint32_t>(qw));
        return Dword(static_cast<uint32_t>(qw >> 32));
    }
    InputWriter &Bytes(const std::vector<uint8_t> &bytes)
    {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const std::vector<uint8_t> &Data() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

} // namespace qvnfuzz

#endif
