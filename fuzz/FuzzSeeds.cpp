// The seed corpus: short call sequences that reach every entry and every
// failure switch, from which the fuzzer mutates. Each builder call writes
// exactly the bytes that the harness reads for that operation.
#include "FuzzSeeds.h"

#include "FuzzChoices.h"
#include "FuzzInput.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qvnfuzz
{
namespace
{

using Sel = std::vector<uint8_t>;

// ---- Selectors ----------------------------------------------------------------
Sel ProvLast()
{
    return {kProvLastOpened};
}
Sel ProvLive(uint8_t i)
{
    return {kProvLive, i};
}
Sel ProvOfKind(uint8_t iKind)
{
    return {kProvOfKind, iKind};
}
Sel ProvFreed()
{
    return {kProvFreed, 0};
}
Sel ProvKeyHandle()
{
    return {kProvKeyHandle, 0};
}
Sel ProvForeign(uint8_t i)
{
    return {kProvForeign, i};
}
Sel ProvZero()
{
    return {kProvZero};
}
Sel ProvArbitrary(uint64_t qw)
{
    InputWriter w;
    w.Byte(kProvArbitrary).Qword(qw);
    return w.Data();
}

Sel KeyLast()
{
    return {kKeyLastUnderProvider};
}
Sel KeyLive(uint8_t i)
{
    return {kKeyLiveUnderProvider, i};
}
Sel KeyNewest()
{
    return {kKeyLastOpened};
}
Sel KeyAnywhere(uint8_t i)
{
    return {kKeyLiveAnywhere, i};
}
Sel KeyFreed()
{
    return {kKeyFreed, 0};
}
Sel KeyProvider()
{
    return {kKeyProviderHandle};
}
Sel KeyZero()
{
    return {kKeyZero};
}
Sel KeyArbitrary(uint64_t qw)
{
    InputWriter w;
    w.Byte(kKeyArbitrary).Qword(qw);
    return w.Data();
}

Sel Flags(uint8_t iChoice)
{
    return {iChoice};
}
Sel FlagsValue(uint32_t dw)
{
    InputWriter w;
    w.Byte(kFlagsArbitrary).Dword(dw);
    return w.Data();
}

Sel Arbitrary(uint8_t iArbitrary, const std::u16string &str)
{
    InputWriter w;
    w.Byte(iArbitrary).Byte(static_cast<uint8_t>(str.size()));
    for (char16_t ch : str) {
        w.Byte(static_cast<uint8_t>(ch & 0xff)).Byte(static_cast<uint8_t>(ch >> 8));
    }
    return w.Data();
}

Sel PadNull()
{
    return {kPadNull};
}
Sel PadPkcs1(uint8_t iHash)
{
    return {kPadPkcs1Named, iHash};
}
Sel PadPkcs1NoName()
{
    return {kPadPkcs1NoName};
}
Sel PadPss(uint8_t iHash)
{
    return {kPadPssNamed, iHash, 20, 0, 0, 0};
}
Sel PadPkcs1Arbitrary(const std::u16string &strName)
{
    Sel sel = {kPadPkcs1Named};
    const Sel name = Arbitrary(kHashArbitrary, strName);
    sel.insert(sel.end(), name.begin(), name.end());
    return sel;
}
Sel PadOaep(uint8_t iHash)
{
    return {kPadOaepNamed, iHash, 3, 'a', 'b', 'c'};
}

// Data: source then length.
Sel DataHash(uint8_t iSize, uint8_t bSeed)
{
    return {kDataHashLike, iSize, bSeed, kLenContent};
}
Sel DataBytes(const std::vector<uint8_t> &bytes, uint8_t iLength = kLenContent)
{
    InputWriter w;
    w.Byte(kDataBytes).Byte(static_cast<uint8_t>(bytes.size())).Bytes(bytes).Byte(iLength);
    return w.Data();
}
Sel DataBytesClaiming(const std::vector<uint8_t> &bytes, uint32_t cbClaimed)
{
    InputWriter w;
    w.Byte(kDataBytes).Byte(static_cast<uint8_t>(bytes.size())).Bytes(bytes).Byte(kLenArbitrary).Dword(cbClaimed);
    return w.Data();
}
Sel DataLastSignature()
{
    return {kDataLastSignature, kLenContent};
}
Sel DataLastCipher()
{
    return {kDataLastCipher, kLenContent};
}
Sel DataLastOutput()
{
    return {kDataLastOutput, kLenContent};
}
Sel DataZeros(uint8_t iLength)
{
    return {kDataZeros, iLength};
}
Sel DataNull()
{
    return {kDataNull, kLenZero};
}

Sel Out(uint8_t iLength)
{
    return {kOutBuffer, iLength};
}
Sel OutNull()
{
    return {kOutNull, kOutLenZero};
}
Sel OutSame(uint8_t iLength)
{
    return {kOutSameAsInput, iLength};
}

constexpr uint8_t kResult = 1;
constexpr uint8_t kNoResult = 0;

size_t FunctionIndex(const char *pszFunction)
{
    for (size_t i = 0; i < kCryptoFunctionCount; ++i) {
        if (std::strcmp(kCryptoFunctions[i], pszFunction) == 0) {
            return i;
        }
    }
    return 0;
}

size_t ErrorIndex(HRESULT hrError)
{
    for (size_t i = 0; i < kInjectedErrorCount; ++i) {
        if (kInjectedErrors[i] == static_cast<DWORD>(hrError)) {
            return i;
        }
    }
    return 0;
}

// ---- Operations ---------------------------------------------------------------------
class Seed
{
public:
    Seed &OpenProvider(uint8_t iName, Sel flags = Flags(kFlagsNone), bool fNullOut = false)
    {
        return Put({kOpOpenProvider, static_cast<uint8_t>(fNullOut ? 0 : 1), iName}).Put(flags);
    }
    Seed &OpenProviderNamed(Sel name) { return Put({kOpOpenProvider, 1}).Put(name).Put(Flags(kFlagsNone)); }
    Seed &OpenKey(Sel prov, uint8_t iKeyName, uint8_t iSpec, Sel flags = Flags(kFlagsNone), bool fNullOut = false)
    {
        return Put({kOpOpenKey}).Put(prov).Put({static_cast<uint8_t>(fNullOut ? 0 : 1), iKeyName, iSpec}).Put(flags);
    }
    Seed &OpenKeyNamed(Sel prov, Sel name, uint8_t iSpec)
    {
        return Put({kOpOpenKey}).Put(prov).Put({1}).Put(name).Put({iSpec}).Put(Flags(kFlagsNone));
    }
    Seed &GetProperty(Sel prov, Sel name, Sel out, uint8_t bResult = kResult, Sel flags = Flags(kFlagsNone))
    {
        return Put({kOpGetProviderProperty}).Put(prov).Put(name).Put(out).Put({bResult}).Put(flags);
    }
    Seed &FreeProvider(Sel prov) { return Put({kOpFreeProvider}).Put(prov); }
    Seed &FreeKey(Sel prov, Sel key) { return Put({kOpFreeKey}).Put(prov).Put(key); }
    Seed &Crypt(bool fEncrypt, Sel prov, Sel key, Sel data, Sel pad, Sel out, uint8_t bResult = kResult,
                Sel flags = Flags(kFlagsPkcs1))
    {
        return Put({static_cast<uint8_t>(fEncrypt ? kOpEncrypt : kOpDecrypt)})
            .Put(prov)
            .Put(key)
            .Put(data)
            .Put(pad)
            .Put(out)
            .Put({bResult})
            .Put(flags);
    }
    Seed &EnumAlgorithms(Sel prov, bool fNullCount = false)
    {
        return Put({kOpEnumAlgorithms})
            .Put(prov)
            .Put({1, static_cast<uint8_t>(fNullCount ? 0 : 1), 1})
            .Put(Flags(kFlagsNone));
    }
    Seed &Sign(Sel prov, Sel key, Sel pad, Sel hash, Sel out, uint8_t bResult = kResult, Sel flags = Flags(kFlagsPkcs1))
    {
        return Put({kOpSignHash}).Put(prov).Put(key).Put(pad).Put(hash).Put(out).Put({bResult}).Put(flags);
    }
    Seed &Verify(Sel prov, Sel key, Sel pad, Sel hash, Sel signature, Sel flags = Flags(kFlagsPkcs1))
    {
        return Put({kOpVerifySignature}).Put(prov).Put(key).Put(pad).Put(hash).Put(signature).Put(flags);
    }
    Seed &Stub(Op op, Sel prov, Sel key)
    {
        InputWriter w;
        w.Qword(0x0000123456789abcull).Dword(7);
        return Put({static_cast<uint8_t>(op)}).Put(prov).Put(key).Put(w.Data());
    }
    Seed &GetInterface(Sel name, bool fNullTable = false, uint32_t dwFlags = 0)
    {
        Put({kOpGetInterface}).Put(name).Put({static_cast<uint8_t>(fNullTable ? 0 : 1)});
        if (dwFlags == 0) {
            return Put({1});
        }
        InputWriter w;
        w.Byte(0).Dword(dwFlags);
        return Put(w.Data());
    }
    Seed &FailCall(const char *pszFunction, uint8_t nth, HRESULT hrError)
    {
        return Put({kOpFailCryptoCall, static_cast<uint8_t>(FunctionIndex(pszFunction)), static_cast<uint8_t>(nth - 1),
                    static_cast<uint8_t>(ErrorIndex(hrError))});
    }
    Seed &FailMalloc(uint8_t nth) { return Put({kOpFailModuleMalloc, static_cast<uint8_t>(nth - 1)}); }
    Seed &SetVersion(uint8_t iVersion) { return Put({kOpSetWindowsVersion, iVersion}); }

    const std::vector<uint8_t> &Bytes() const { return m_writer.Data(); }

private:
    Seed &Put(const Sel &bytes)
    {
        m_writer.Bytes(bytes);
        return *this;
    }
    InputWriter m_writer;
};

// The hash sizes of kHashLikeSizes by index.
constexpr uint8_t kSize16 = 0;
constexpr uint8_t kSize20 = 1;
constexpr uint8_t kSize32 = 2;
constexpr uint8_t kSize36 = 3;
constexpr uint8_t kSize48 = 4;
constexpr uint8_t kSize64 = 5;
constexpr uint8_t kSize28 = 6;

std::vector<std::pair<std::string, Seed>> Seeds()
{
    std::vector<std::pair<std::string, Seed>> seeds;
    const Sel kKsp = ProvOfKind(0);
    const Sel kAlder = ProvOfKind(1);
    const std::vector<uint8_t> kPlain = {'a', 't', 't', 'a', 'c', 'k', ' ', 'a', 't', ' ', 'd', 'a', 'w', 'n'};

    {
        Seed s;
        s.OpenProvider(kNameAlder).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
        s.Sign(ProvLast(), KeyLast(), PadPkcs1(kHashSha256), DataHash(kSize32, 1), Out(kOutLenKey));
        s.Verify(ProvLast(), KeyLast(), PadPkcs1(kHashSha256), DataHash(kSize32, 1), DataLastSignature());
        s.Verify(ProvLast(), KeyLast(), PadPkcs1(kHashSha256), DataHash(kSize32, 2), DataLastSignature());
        s.Sign(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 3), Out(kOutLenKeyMore5));
        s.Verify(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 3), DataLastOutput());
        s.Sign(ProvLast(), KeyLast(), PadPkcs1(kHashSha1), DataHash(kSize20, 3), OutNull());
        s.FreeKey(ProvLast(), KeyLast()).FreeProvider(ProvLast());
        seeds.emplace_back("sign-verify", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameCedar).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
        s.Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.Crypt(false, ProvLast(), KeyLast(), DataLastCipher(), PadNull(), Out(kOutLenKeyLess11));
        s.Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), OutNull());
        s.Crypt(false, ProvLast(), KeyLast(), DataZeros(kLenKey), PadNull(), OutNull());
        s.Crypt(false, ProvLast(), KeyLast(), DataZeros(kLenKey), PadNull(), Out(kOutLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataZeros(kLenKeyLess11), PadNull(), OutSame(kOutLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataZeros(kLenKeyLess10), PadNull(), Out(kOutLenKey));
        s.Crypt(false, ProvLast(), KeyLast(), DataLastCipher(), PadOaep(kHashSha1), Out(kOutLenKey), kResult,
                Flags(kFlagsPkcs1));
        seeds.emplace_back("encrypt-decrypt", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameKsp);
        const uint8_t rgProps[] = {kPropImplType, kPropVersion, kPropMaxNameLength, 3, 4, kPropNull, 6};
        for (uint8_t iProp : rgProps) {
            s.GetProperty(kKsp, {iProp}, Out(kOutLenKey));
        }
        s.GetProperty(kKsp, {kPropVersion}, OutNull());
        s.GetProperty(kKsp, {kPropMaxNameLength}, Out(kOutLenKeyLess1));
        s.GetProperty(kKsp, {kPropMaxNameLength}, Out(kOutLenKeyMore5), kResult, FlagsValue(0xffffffff));
        s.GetProperty(kKsp, Arbitrary(kPropArbitrary, std::u16string(u"Impl Type\0x", 11)), Out(kOutLenKey));
        s.GetProperty(kKsp, {kPropImplType}, Out(kOutLenKey), kNoResult);
        s.EnumAlgorithms(kKsp).EnumAlgorithms(kKsp, true);
        s.OpenKey(kKsp, kKeyNameBoth, kSpecExchange);
        s.OpenProvider(kNameAlder).GetProperty(kAlder, {kPropVersion}, Out(kOutLenKey)).EnumAlgorithms(kAlder);
        seeds.emplace_back("provider-properties", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameAlder).OpenKey(kAlder, kKeyNameBoth, kSpecSignature);
        for (uint8_t op = kOpCreatePersistedKey; op <= kOpFreeSecret; ++op) {
            const bool fImplemented = op == kOpGetProviderProperty || op == kOpFreeProvider || op == kOpFreeKey ||
                                      op == kOpEncrypt || op == kOpDecrypt || op == kOpEnumAlgorithms ||
                                      op == kOpSignHash || op == kOpVerifySignature;
            if (!fImplemented) {
                s.Stub(static_cast<Op>(op), kAlder, KeyLast());
            }
        }
        seeds.emplace_back("unsupported-slots", s);
    }
    {
        Seed s;
        for (uint8_t iName = 0; iName <= kNameKspLowerCase; ++iName) {
            s.GetInterface({iName});
        }
        s.GetInterface(Arbitrary(kNameArbitrary, std::u16string(u"Quorvane TPM Key Storage Provider\0", 34)));
        s.GetInterface({kNameKsp}, true).GetInterface({kNameKsp}, false, 1);
        s.SetVersion(0).GetInterface({kNameKsp}).GetInterface({kNameKspLowerCase}).GetInterface({kNameAlder}, true);
        s.SetVersion(1).GetInterface({kNameDogwood});
        s.FailMalloc(1).GetInterface({kNameBirch});
        seeds.emplace_back("interface", s);
    }
    {
        Seed s;
        s.FailMalloc(1).OpenProvider(kNameAlder).OpenProvider(kNameAlder);
        s.FailMalloc(2).OpenProvider(kNameKsp);
        s.FailMalloc(1).OpenKey(kAlder, kKeyNameBoth, kSpecExchange);
        s.FailMalloc(3).OpenKey(kAlder, kKeyNameBoth, kSpecExchange);
        s.OpenKey(kAlder, kKeyNameBoth, kSpecExchange);
        s.FailMalloc(1).Sign(kAlder, KeyLast(), PadPkcs1(kHashSha256), DataHash(kSize32, 4), Out(kOutLenKey));
        s.Sign(kAlder, KeyLast(), PadPkcs1(kHashSha256), DataHash(kSize32, 4), Out(kOutLenKey));
        s.FailMalloc(1).Verify(kAlder, KeyLast(), PadPkcs1(kHashSha256), DataHash(kSize32, 4), DataLastSignature());
        s.Crypt(true, kAlder, KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.FailMalloc(1).Crypt(false, kAlder, KeyLast(), DataLastCipher(), PadNull(), Out(kOutLenKey));
        s.FailMalloc(1).Crypt(true, kAlder, KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.FailMalloc(1).GetProperty(ProvOfKind(0), {kPropMaxNameLength}, Out(kOutLenKey));
        seeds.emplace_back("malloc-failures", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameBirch).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
        s.FailCall("CryptSignHashW", 1, NTE_FAIL)
            .Sign(ProvLast(), KeyLast(), PadPkcs1(kHashSha1), DataHash(kSize20, 5), Out(kOutLenKey));
        s.FailCall("CryptCreateHash", 1, NTE_SILENT_CONTEXT)
            .Sign(ProvLast(), KeyLast(), PadPkcs1(kHashMd5), DataHash(kSize16, 5), Out(kOutLenKey));
        s.FailCall("CryptGetKeyParam", 2, ERROR_ACCESS_DENIED)
            .Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.FailCall("CryptDecrypt", 1, NTE_BAD_DATA)
            .Crypt(false, ProvLast(), KeyLast(), DataLastCipher(), PadNull(), Out(kOutLenKey));
        s.FailCall("CryptAcquireContextW", 1, NTE_KEYSET_NOT_DEF).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
        s.FailCall("CryptGetUserKey", 1, NTE_NO_KEY).OpenKey(ProvLast(), kKeyNameBoth, kSpecSignature);
        s.FailCall("CryptAcquireContextW", 1, ERROR_ACCESS_DENIED).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
        s.FailCall("CryptDestroyHash", 1, NTE_FAIL)
            .Sign(ProvLast(), KeyLast(), PadPkcs1NoName(), DataHash(kSize36, 6), Out(kOutLenKey));
        s.FailCall("CryptVerifySignatureW", 1, NTE_BAD_KEY)
            .Verify(ProvLast(), KeyLast(), PadPkcs1NoName(), DataHash(kSize36, 6), DataLastSignature());
        s.FailCall("CryptDestroyKey", 1, NTE_FAIL).FreeKey(ProvLast(), KeyLast());
        s.FailCall("CryptReleaseContext", 1, NTE_FAIL).FreeProvider(ProvLast());
        s.FailCall("CryptAcquireContextW", 1, NTE_PERM).OpenProvider(kNameDogwood);
        s.OpenProvider(kNameAlder).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
        s.FailCall("CryptGetHashParam", 1, NTE_FAIL)
            .Sign(ProvLast(), KeyLast(), PadPkcs1(kHashSha256), DataHash(kSize32, 7), Out(kOutLenKey));
        s.FailCall("CryptSetHashParam", 1, NTE_BAD_KEY)
            .Verify(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 7), DataZeros(kLenKey));
        s.FailCall("CryptEncrypt", 1, NTE_NO_MEMORY)
            .Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.FailCall("CryptDecrypt", 1, NTE_SILENT_CONTEXT)
            .Crypt(false, ProvLast(), KeyLast(), DataLastCipher(), PadNull(), Out(kOutLenKey));
        s.FailCall("CryptGetUserKey", 1, NTE_FAIL).OpenKey(ProvLast(), kKeyNameBoth, kSpecSignature);
        seeds.emplace_back("crypto-failures", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameAlder).OpenKey(ProvLive(0), kKeyNameBoth, kSpecExchange);
        s.OpenProvider(kNameAlder).OpenKey(ProvLive(1), kKeyNameBoth, kSpecExchange);
        s.Sign(ProvLive(1), KeyAnywhere(0), PadNull(), DataHash(kSize32, 7), Out(kOutLenKey));
        s.FreeKey(ProvLive(1), KeyAnywhere(0)).FreeKey(ProvLive(0), KeyLast()).FreeKey(ProvLive(0), KeyFreed());
        s.Sign(ProvLive(0), KeyFreed(), PadNull(), DataHash(kSize32, 7), Out(kOutLenKey));
        s.Sign(ProvLive(0), KeyLive(0), PadNull(), DataHash(kSize32, 7), Out(kOutLenKey));
        s.FreeProvider(ProvLive(1)).Crypt(true, ProvFreed(), KeyNewest(), DataBytes(kPlain), PadNull(), Out(0));
        s.FreeProvider(ProvFreed()).FreeProvider(ProvKeyHandle()).FreeProvider(ProvForeign(0));
        s.FreeProvider(ProvForeign(1)).FreeProvider(ProvForeign(2)).FreeProvider(ProvForeign(3));
        s.FreeProvider(ProvZero()).FreeProvider(ProvArbitrary(0x4141414141414141ull));
        s.Verify(ProvLive(0), KeyProvider(), PadNull(), DataHash(kSize32, 7), DataLastSignature());
        s.Verify(ProvLive(0), KeyArbitrary(0x10), PadNull(), DataHash(kSize32, 7), DataLastSignature());
        s.FreeKey(ProvLive(0), KeyZero()).FreeKey(ProvArbitrary(1), KeyNewest());
        seeds.emplace_back("handles", s);
    }
    {
        Seed s;
        for (uint8_t iName = kNameKsp; iName <= kNameDogwood; ++iName) {
            s.OpenProvider(iName);
            if (iName != kNameKsp) {
                s.OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
            }
        }
        s.FailCall("CryptReleaseContext", 1, NTE_FAIL);
        seeds.emplace_back("teardown-with-open-handles", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameAlder).OpenKey(ProvLast(), kKeyNameBoth, kSpecSignature);
        const uint8_t rgSizes[] = {kSize16, kSize20, kSize32, kSize36, kSize48, kSize64, kSize28};
        for (uint8_t iSize : rgSizes) {
            s.Sign(ProvLast(), KeyLast(), PadNull(), DataHash(iSize, 8), Out(kOutLenKey));
        }
        const uint8_t rgNames[] = {kHashSha1, kHashSha256, kHashSha384, kHashSha512,
                                   kHashMd2,  kHashMd4,    kHashMd5,    kHashLowerCase};
        for (uint8_t iName : rgNames) {
            s.Sign(ProvLast(), KeyLast(), PadPkcs1(iName), DataHash(kSize20, 9), Out(kOutLenKey));
            s.Sign(ProvLast(), KeyLast(), PadPss(iName), DataHash(kSize16, 9), Out(kOutLenKey));
        }
        s.Sign(ProvLast(), KeyLast(), PadPkcs1Arbitrary(u"SHA256 "), DataHash(kSize32, 9), Out(kOutLenKey));
        seeds.emplace_back("hash-choices", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameAlder);
        s.OpenKey(kAlder, kKeyNameSig, kSpecExchange).OpenKey(kAlder, kKeyNameSig, kSpecSignature);
        s.Crypt(true, kAlder, KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.OpenKey(kAlder, kKeyNamePrompt, kSpecExchange, Flags(kFlagsSilent));
        s.OpenKey(kAlder, kKeyNamePrompt, kSpecExchange, Flags(kFlagsNone));
        s.OpenKey(kAlder, kKeyNameEmpty, kSpecExchange).OpenKey(kAlder, kKeyNameNone, kSpecExchange);
        s.OpenKey(kAlder, kKeyNameMachine, kSpecExchange);
        s.OpenKey(kAlder, kKeyNameMachine, kSpecExchange, Flags(kFlagsMachineSilent));
        s.Crypt(true, kAlder, KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey));
        s.Crypt(false, kAlder, KeyLast(), DataLastCipher(), PadNull(), Out(kOutLenKeyLess11));
        s.OpenKey(kAlder, kKeyNameNull, kSpecExchange).OpenKey(kAlder, kKeyNameBoth, kSpecZero);
        s.OpenKey(kAlder, kKeyNameBoth, kSpecExchange, Flags(kFlagsPkcs1));
        s.OpenKey(kAlder, kKeyNameBoth, kSpecExchange, Flags(kFlagsNone), true);
        s.OpenKeyNamed(kAlder, Arbitrary(kKeyNameArbitrary, u"fz-both\u00e9"), kSpecExchange);
        s.OpenProvider(kNameBirch).OpenKey(ProvLast(), kKeyNameBoth, kSpecSignature);
        s.OpenProvider(kNameDogwood).OpenKey(ProvLast(), kKeyNameBoth, kSpecSignature);
        s.OpenProvider(kNameNull).OpenProvider(7).OpenProvider(8).OpenProvider(kNameAlder, Flags(kFlagsSilent), true);
        s.OpenProviderNamed(Arbitrary(kNameArbitrary, u"Quorvane Cedar Cryptographic Provider"));
        seeds.emplace_back("containers", s);
    }
    {
        Seed s;
        s.OpenProvider(kNameDogwood).OpenKey(ProvLast(), kKeyNameBoth, kSpecExchange);
        s.Sign(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 1), Out(kOutLenKey), kResult, Flags(kFlagsPss));
        s.Sign(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 1), Out(kOutLenKey), kResult, Flags(kFlagsNone));
        s.Sign(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 1), Out(kOutLenKey), kResult,
               Flags(kFlagsPkcs1Silent));
        s.Sign(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 1), Out(kOutLenKeyLess1));
        s.Sign(ProvLast(), KeyLast(), PadNull(), DataNull(), OutNull());
        s.Sign(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 1), Out(kOutLenKey), kNoResult);
        s.Verify(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 1), DataZeros(kLenKeyLess10));
        s.Verify(ProvLast(), KeyLast(), PadNull(), DataHash(kSize20, 1), DataZeros(kLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadPkcs1(kHashSha1), Out(kOutLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataZeros(kLenKeyLess10), PadNull(), Out(kOutLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKeyLess1));
        s.Crypt(false, ProvLast(), KeyLast(), DataZeros(kLenKey), PadNull(), Out(kOutLenKeyLess12));
        s.Crypt(false, ProvLast(), KeyLast(), DataBytesClaiming(kPlain, 0xFFFFFF00), PadNull(), Out(kOutLenKey));
        s.Crypt(true, ProvLast(), KeyLast(), DataBytes(kPlain), PadNull(), Out(kOutLenKey), kResult,
                Flags(kFlagsSilent));
        seeds.emplace_back("bad-arguments", s);
    }
    return seeds;
}

} // namespace

bool WriteSeedCorpus(const char *pszDirectory)
{
    for (const auto &seed : Seeds()) {
        const std::string strPath = std::string(pszDirectory) + "/" + seed.first;
        FILE *pFile = std::fopen(strPath.c_str(), "wb");
        if (pFile == nullptr) {
            return false;
        }
        const std::vector<uint8_t> &bytes = seed.second.Bytes();
        const bool fWritten = std::fwrite(bytes.data(), 1, bytes.size(), pFile) == bytes.size();
        if (std::fclose(pFile) != 0 || !fWritten) {
            return false;
        }
        std::printf("%s: %zu bytes\n", strPath.c_str(), bytes.size());
    }
    return true;
}

} // namespace qvnfuzz
