// The check of publisher.h, on Windows: wintrust, crypt32 and version.dll.
// The one place the module calls Windows itself.  Every handle, store,
// message, certificate, WinVerifyTrust state and version resource has an
// owner here (a Unique of unique.h, or a class of its own), so each is
// closed on every path, std::bad_alloc included; the interpreter lock is let
// go around the Windows calls, which read and hash whole files.  The
// sections run bottom-up: text, certificate names, the PE file, the
// embedded signature, WinVerifyTrust and the chain, release continuity, and
// the check, the only one that touches Python objects.
#include "publisher.h"

#include <windows.h>
// After windows.h:
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <winver.h>
// After wintrust.h:
#include <mssip.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace updater::engine {

namespace {

// Holds the interpreter lock released for its lifetime.
class Unlocked {
public:
    Unlocked() noexcept : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// The owners of the Windows resources (unique.h), and the Windows errors
// that the check tells apart.

struct StorePolicy {
    static HCERTSTORE invalid() noexcept { return nullptr; }
    static void close(HCERTSTORE store) noexcept { CertCloseStore(store, 0); }
};
struct MessagePolicy {
    static HCRYPTMSG invalid() noexcept { return nullptr; }
    static void close(HCRYPTMSG message) noexcept { CryptMsgClose(message); }
};
struct CertificatePolicy {
    static const CERT_CONTEXT* invalid() noexcept { return nullptr; }
    static void close(const CERT_CONTEXT* cert) noexcept { CertFreeCertificateContext(cert); }
};
// What a function allocated for its caller with LocalAlloc
// (CRYPT_DECODE_ALLOC_FLAG).
template <typename T>
struct LocalPolicy {
    static T* invalid() noexcept { return nullptr; }
    static void close(T* memory) noexcept { LocalFree(memory); }
};
using Store = Unique<StorePolicy>;
using Message = Unique<MessagePolicy>;
using Certificate = Unique<CertificatePolicy>;
template <typename T>
using Local = Unique<LocalPolicy<T>>;

// A file another program holds open without sharing it (32), or has locked
// a part of (33): worth waiting for, as the swap's own steps do.
bool sharing_violation(DWORD error) noexcept
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool missing(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// ---------------------------------------------------------------------------
// Text: Windows error codes and the names the refusals show.

// 0x80096010: `code` in `digits` hexadecimal digits.
std::wstring hex(unsigned long code, int digits = 8)
{
    std::wstring text = L"0x";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += L"0123456789ABCDEF"[(code >> shift) & 0xF];
    return text;
}

bool high_surrogate(wchar_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
bool low_surrogate(wchar_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }

// A certificate's value or a program's name as the console and the dialog
// may show it: control characters, line and paragraph separators and the
// bidirectional controls escaped, as well as the quote and the backslash,
// so that a name can add no line to the reason nor end its quotes early;
// the separators of a name (`,` `=` `+`) escaped too, so that two different
// names never read the same; and a surrogate without its pair, which no
// console can encode.
std::wstring escaped(const std::wstring& value)
{
    std::wstring text;
    for (size_t i = 0; i < value.size(); ++i) {
        wchar_t c = value[i];
        bool paired = (high_surrogate(c) && i + 1 < value.size() && low_surrogate(value[i + 1])) ||
                      (low_surrogate(c) && i > 0 && high_surrogate(value[i - 1]));
        if (c == L'\n') {
            text += L"\\n";
        } else if (c == L'\r') {
            text += L"\\r";
        } else if (c == L'\t') {
            text += L"\\t";
        } else if (c == L'"' || c == L'\\' || c == L',' || c == L'=' || c == L'+') {
            text += L'\\';
            text += c;
        } else if (c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0x2028 && c <= 0x202E) ||
                   (c >= 0x2066 && c <= 0x2069) || ((high_surrogate(c) || low_surrogate(c)) && !paired)) {
            text += L"\\u" + hex(c, 4).substr(2);
        } else {
            text += c;
        }
    }
    return text;
}

// ---------------------------------------------------------------------------
// Certificate names: the publisher a certificate's subject names, compared
// field by field.

// The names a certificate's subject gives, each read once from the subject
// itself (never from its alternative names), as decoded text in NFC: a name
// written composed and the same name decomposed are one name.
struct Publisher {
    std::array<std::vector<std::wstring>, 3> values;  // every CN, every O, every C, in NFC
    std::wstring common_name;        // the one CN, O and C, in NFC; empty when there is none or more than one
    std::wstring organization;
    std::wstring country;
    std::wstring text;               // every CN, O and C it names as written, escaped: "CN=..., O=..., C=..."
    const wchar_t* fault = nullptr;  // why it names no publisher; null when it names one
};

// `value` in Unicode normalisation form C.  A value that is no valid
// Unicode (a surrogate without its pair) cannot be normalised and stays as
// it is: it is then only ever the same as itself.
std::wstring normalized(const std::wstring& value)
{
    if (value.empty()) return value;
    auto size = static_cast<int>(value.size());
    std::wstring text;
    int estimate = NormalizeString(NormalizationC, value.data(), size, nullptr, 0);
    for (int tries = 0; tries < 4 && estimate > 0; ++tries) {  // each estimate at least the last one's needs
        text.assign(static_cast<size_t>(estimate), L'\0');
        int written = NormalizeString(NormalizationC, value.data(), size, text.data(), estimate);
        if (written > 0) {
            text.resize(static_cast<size_t>(written));
            return text;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        estimate = -written;  // the size it asks for now
    }
    return value;
}

// One attribute value as text, as long as the value says (a NUL in it stays).
std::wstring value_text(const CERT_RDN_ATTR& attribute)
{
    auto* value = const_cast<CERT_RDN_VALUE_BLOB*>(&attribute.Value);
    DWORD size = CertRDNValueToStrW(attribute.dwValueType, value, nullptr, 0);  // with the terminator
    std::wstring text(size, L'\0');
    DWORD written = size > 0 ? CertRDNValueToStrW(attribute.dwValueType, value, text.data(), size) : 0;
    text.resize(written > 0 ? written - 1 : 0);
    return text;
}

// A subject naming a common name, an organisation or a country more than
// once names no publisher: which of them would count is anyone's guess.
// Nor does one with neither a common name nor an organisation, or with a
// value that reads as empty.
Publisher publisher_of(const CERT_CONTEXT* cert)
{
    Publisher publisher;
    CERT_NAME_INFO* raw = nullptr;
    DWORD size = 0;
    const CERT_NAME_BLOB& subject = cert->pCertInfo->Subject;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_NAME, subject.pbData, subject.cbData, CRYPT_DECODE_ALLOC_FLAG,
                             nullptr, &raw, &size)) {
        publisher.fault = L"has a subject that cannot be decoded";
        return publisher;
    }
    Local<CERT_NAME_INFO> name(raw);
    struct Field {
        const char* oid;
        const wchar_t* label;
        std::wstring Publisher::*value;
        const wchar_t* twice;
        std::vector<std::wstring> values{};  // as the subject writes them
    };
    Field fields[] = {
        {.oid = szOID_COMMON_NAME, .label = L"CN=", .value = &Publisher::common_name,
         .twice = L"names more than one common name"},
        {.oid = szOID_ORGANIZATION_NAME, .label = L"O=", .value = &Publisher::organization,
         .twice = L"names more than one organisation"},
        {.oid = szOID_COUNTRY_NAME, .label = L"C=", .value = &Publisher::country,
         .twice = L"names more than one country"},
    };
    for (const CERT_RDN& rdn : std::span(name->rgRDN, name->cRDN)) {
        for (const CERT_RDN_ATTR& attribute : std::span(rdn.rgRDNAttr, rdn.cRDNAttr)) {
            for (Field& field : fields) {
                if (attribute.pszObjId && std::strcmp(attribute.pszObjId, field.oid) == 0) {
                    field.values.push_back(value_text(attribute));
                }
            }
        }
    }
    for (size_t i = 0; i < std::size(fields); ++i) {
        Field& field = fields[i];
        for (const std::wstring& value : field.values) {
            if (!publisher.text.empty()) publisher.text += L", ";
            publisher.text += field.label + escaped(value);
            if (value.empty() && !publisher.fault) publisher.fault = L"has a name that reads as empty";
            publisher.values[i].push_back(normalized(value));
        }
        if (field.values.size() > 1 && !publisher.fault) publisher.fault = field.twice;
        if (field.values.size() == 1) publisher.*field.value = publisher.values[i][0];
    }
    if (publisher.common_name.empty() && publisher.organization.empty() && !publisher.fault) {
        publisher.fault = L"names neither a common name nor an organisation";
    }
    return publisher;
}

// Attribute by attribute, as values, never by the display text: the country
// counts only where the installed launcher's certificate names one.  A
// renewal (new key, serial or issuer) keeps the name and the organisation,
// and passes.
bool same_publisher(const Publisher& installed, const Publisher& signer)
{
    return signer.common_name == installed.common_name && signer.organization == installed.organization &&
           (installed.country.empty() || signer.country == installed.country);
}

// The names in quotes.
std::wstring describe(const Publisher& p)
{
    return p.text.empty() ? L"a subject without a common name, organisation or country" : L'"' + p.text + L'"';
}

// ---------------------------------------------------------------------------
// The PE file: its own headers and the certificate table they point to, read
// through the open handle.

// `size` bytes at `offset` of the open file, all of them or false.
bool read_at(HANDLE file, DWORD offset, void* into, DWORD size) noexcept
{
    OVERLAPPED at{};
    at.Offset = offset;
    DWORD got = 0;
    return ReadFile(file, into, size, &got, &at) && got == size;
}

// What a file's own PE headers say, read through the open handle.
struct Image {
    bool pe = false;
    WORD characteristics = 0;      // IMAGE_FILE_HEADER's
    IMAGE_DATA_DIRECTORY table{};  // the certificate table: a file offset and a size
};

Image image_of(HANDLE file) noexcept
{
    Image image;
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    WORD magic = 0;
    if (!read_at(file, 0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        dos.e_lfanew > 0x10000000) {
        return image;
    }
    auto nt = static_cast<DWORD>(dos.e_lfanew);
    if (!read_at(file, nt, &signature, sizeof signature) || signature != IMAGE_NT_SIGNATURE ||
        !read_at(file, nt + 4, &header, sizeof header)) {
        return image;
    }
    image.pe = true;
    image.characteristics = header.Characteristics;
    DWORD optional = nt + 4 + static_cast<DWORD>(sizeof header);
    if (!read_at(file, optional, &magic, sizeof magic)) return image;
    auto directories = static_cast<DWORD>(magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
                                              ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                                              : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
    DWORD entry = directories + IMAGE_DIRECTORY_ENTRY_SECURITY * static_cast<DWORD>(sizeof(IMAGE_DATA_DIRECTORY));
    if (header.SizeOfOptionalHeader >= entry + sizeof(IMAGE_DATA_DIRECTORY) &&
        !read_at(file, optional + entry, &image.table, sizeof image.table)) {
        image.table = {};
    }
    return image;
}

// The length of the DER encoding (a SEQUENCE) at the start of `bytes`, or 0:
// the certificate table pads the signature to eight bytes.
size_t der_size(std::span<const BYTE> bytes) noexcept
{
    if (bytes.size() < 2 || bytes[0] != 0x30) return 0;
    size_t length = bytes[1];
    size_t head = 2;
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 4 || bytes.size() < head + count) return 0;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | bytes[head + i];
        head += count;
    }
    return length <= bytes.size() - head ? head + length : 0;
}

// ---------------------------------------------------------------------------
// The embedded signature: the publisher it proves by the key of the
// certificate its signer information names, read as an installed launcher's is.

// The signature a launcher carries, and the publisher it proves.
struct Signer {
    bool carried = false;               // the file has a certificate table
    std::optional<Publisher> publisher; // the proven signer's names, when there is one
    std::vector<std::vector<BYTE>> certificates;  // the encoded certificates that prove it
    const wchar_t* unproven = L"its signature cannot be read";  // why there is none
};

// Whether `cert` is the one the signer information names by its issuer and
// serial number.
bool named_by(const CERT_INFO& signer_info, const CERT_CONTEXT* cert)
{
    return CertCompareCertificateName(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(&signer_info.Issuer),
                                      &cert->pCertInfo->Issuer) &&
           CertCompareIntegerBlob(const_cast<CRYPT_INTEGER_BLOB*>(&signer_info.SerialNumber),
                                  &cert->pCertInfo->SerialNumber);
}

// The signer whose key verifies the signature's signer information, among
// the certificates beside it that the signer information names (issuer
// and serial number): the certificates beside a signature are not covered
// by it, so a name or a serial number there proves nothing alone, and any
// other certificate there is none of the signer's.  Should certificates
// that name different publishers verify it, none is proven.
void prove(Signer& signer, HCRYPTMSG message, HCERTSTORE store)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size) || size < sizeof(CERT_INFO)) {
        return;
    }
    auto buffer = std::make_unique<BYTE[]>(size);  // new[]'s alignment suits CERT_INFO
    if (!CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, buffer.get(), &size)) return;
    const auto* signer_info = reinterpret_cast<const CERT_INFO*>(buffer.get());
    Certificate cert;
    for (;;) {
        cert.reset(CertEnumCertificatesInStore(store, cert.release()));
        if (!cert) break;
        if (!named_by(*signer_info, cert.get())) continue;
        CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para{.cbSize = sizeof para,
                                                .hCryptProv = 0,
                                                .dwSignerIndex = 0,
                                                .dwSignerType = CMSG_VERIFY_SIGNER_CERT,
                                                .pvSigner = const_cast<CERT_CONTEXT*>(cert.get())};
        if (!CryptMsgControl(message, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para)) continue;
        Publisher named = publisher_of(cert.get());
        if (signer.publisher && signer.publisher->values != named.values) {
            signer.publisher.reset();
            signer.certificates.clear();
            signer.unproven = L"certificates that name different publishers verify its signature";
            return;
        }
        signer.publisher = std::move(named);
        signer.certificates.emplace_back(cert->pbCertEncoded, cert->pbCertEncoded + cert->cbCertEncoded);
    }
    if (!signer.publisher) signer.unproven = L"no certificate beside it verifies its signature";
}

// The signer of the signature embedded in the open launcher, whether or not
// the signature still verifies (a launcher changed since it was signed
// still names its publisher).  A file with a certificate table carries a
// signature: read from its own headers, so that a signature that cannot be
// read makes it no unsigned launcher.
Signer embedded_signer(HANDLE file)
{
    Signer signer;
    Image image = image_of(file);
    if (!image.pe || image.table.Size == 0) return signer;  // unsigned
    signer.carried = true;
    constexpr DWORD largest = 16 << 20;
    if (image.table.Size < sizeof(WIN_CERTIFICATE) || image.table.Size > largest) return signer;
    std::vector<BYTE> table(image.table.Size);
    if (!read_at(file, image.table.VirtualAddress, table.data(), image.table.Size)) return signer;
    WIN_CERTIFICATE head{};
    std::memcpy(&head, table.data(), offsetof(WIN_CERTIFICATE, bCertificate));
    constexpr DWORD header = offsetof(WIN_CERTIFICATE, bCertificate);
    if (head.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA || head.dwLength < header ||
        head.dwLength > table.size()) {
        return signer;
    }
    std::span<const BYTE> content(table.data() + header, head.dwLength - header);
    CRYPT_DATA_BLOB blob{.cbData = static_cast<DWORD>(der_size(content)), .pbData = const_cast<BYTE*>(content.data())};
    DWORD encoding = 0;
    HCERTSTORE raw_store = nullptr;
    HCRYPTMSG raw_message = nullptr;
    if (blob.cbData == 0 ||
        !CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, nullptr, nullptr, &raw_store, &raw_message,
                          nullptr)) {
        return signer;
    }
    Store store(raw_store);
    Message message(raw_message);
    prove(signer, message.get(), store.get());
    return signer;
}

// ---------------------------------------------------------------------------
// WinVerifyTrust and the chain: what the download must prove before it may
// replace a signed launcher.

// The chain errors that say the chain does not hold: a certificate's
// signature, a partial or cyclic chain, an issuer that is no CA or breaks
// name constraints, a wrong usage, a revoked or distrusted certificate.
// The root's trust, time validity against the time stamp and every other
// bit are WinVerifyTrust's to judge.
constexpr DWORD broken_chain =
    CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC |
    CERT_TRUST_INVALID_BASIC_CONSTRAINTS | CERT_TRUST_INVALID_NAME_CONSTRAINTS |
    CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT | CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT |
    CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_EXPLICIT_DISTRUST;

// A revocation status the cache could not tell: no list cached, offline, or
// a certificate without a list's address.
bool revocation_unknown(LONG status) noexcept
{
    return status == CERT_E_REVOCATION_FAILURE || status == CRYPT_E_REVOCATION_OFFLINE;
}

// One WinVerifyTrust run on an open file, its state closed with the object:
// the generic Authenticode policy, no UI; revocation, when asked for, from
// the cache only (never the network: an offline machine must still update).
class Verification {
public:
    Verification(const wchar_t* path, HANDLE file, bool revocation) noexcept
    {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = path;
        file_.hFile = file;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = revocation ? WTD_REVOKE_WHOLECHAIN : WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL |
                            (revocation ? WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT : WTD_REVOCATION_CHECK_NONE);
        status_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    ~Verification()
    {
        if (!data_.hWVTStateData) return;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
    }
    Verification(const Verification&) = delete;
    Verification& operator=(const Verification&) = delete;

    LONG status() const noexcept { return status_; }

    // The errors of the signer's chain as the chain engine found them;
    // nothing when there is no chain to read.
    std::optional<DWORD> chain_errors() const noexcept
    {
        CRYPT_PROVIDER_SGNR* sgnr = signer_data();
        if (!sgnr || !sgnr->pChainContext) return std::nullopt;
        return sgnr->pChainContext->TrustStatus.dwErrorStatus;
    }

    // The signer's certificate from the chain WinVerifyTrust built, never
    // from the file's certificate bag, which the signature does not cover.
    // Null when there is none.
    const CERT_CONTEXT* signer() const noexcept
    {
        CRYPT_PROVIDER_SGNR* sgnr = signer_data();
        CRYPT_PROVIDER_CERT* leaf = sgnr ? WTHelperGetProvCertFromChain(sgnr, 0) : nullptr;
        return leaf ? leaf->pCert : nullptr;
    }

    // Whether the signed content is a PE image's hash: a script's or a
    // cabinet's signature is not compared with the image at all.
    bool signs_pe_image() const noexcept
    {
        CRYPT_PROVIDER_DATA* provider = this->provider();
        const SIP_INDIRECT_DATA* content =
            provider && provider->pPDSip ? provider->pPDSip->psIndirectData : nullptr;
        return content && content->Data.pszObjId && std::strcmp(content->Data.pszObjId, SPC_PE_IMAGE_DATA_OBJID) == 0;
    }

private:
    CRYPT_PROVIDER_DATA* provider() const noexcept { return WTHelperProvDataFromStateData(data_.hWVTStateData); }
    CRYPT_PROVIDER_SGNR* signer_data() const noexcept
    {
        CRYPT_PROVIDER_DATA* provider = this->provider();
        return provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    }

    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
    LONG status_ = 0;
};

// Whether the leaf may sign code: an enhanced key usage extension, where it
// has one, must list code signing (Wine's chain engine does not judge it).
bool for_code_signing(const CERT_CONTEXT* cert)
{
    const CERT_INFO* info = cert->pCertInfo;
    CERT_EXTENSION* usage = CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension);
    if (!usage) return true;
    CERT_ENHKEY_USAGE* raw = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, usage->Value.pbData, usage->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &raw, &size)) {
        return false;
    }
    Local<CERT_ENHKEY_USAGE> usages(raw);
    for (const char* oid : std::span(usages->rgpszUsageIdentifier, usages->cUsageIdentifier)) {
        if (oid && std::strcmp(oid, szOID_PKIX_KP_CODE_SIGNING) == 0) return true;
    }
    return false;
}

// Why the signature embedded in the open download, read as an installed
// launcher's is, does not prove `cert`, the signer WinVerifyTrust took;
// null when it does.
const wchar_t* unprovable(HANDLE file, const CERT_CONTEXT* cert)
{
    Signer signer = embedded_signer(file);
    if (!signer.publisher) return signer.unproven;
    std::span<const BYTE> taken(cert->pbCertEncoded, cert->cbCertEncoded);
    for (const std::vector<BYTE>& proven : signer.certificates) {
        if (std::ranges::equal(proven, taken)) return nullptr;
    }
    return L"the certificate that verifies it is not the one WinVerifyTrust took as the signer";
}

// What is wrong with the open download at `path`, held to `installed`, the
// proven publisher of the launcher installed now; empty when nothing is.
std::wstring download_fault(const wchar_t* path, HANDLE file, const Publisher& installed)
{
    Image image = image_of(file);
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);  // where WinVerifyTrust starts reading
    std::optional<Verification> verification(std::in_place, path, file, true);
    // A revocation status that cannot be learnt must not refuse a sound chain;
    // a certificate known to be revoked (CRYPT_E_REVOKED) still does.
    if (revocation_unknown(verification->status()) &&
        !(verification->chain_errors().value_or(broken_chain) & broken_chain)) {
        verification.reset();
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);  // from the start again, as the first run
        verification.emplace(path, file, false);
    }
    LONG status = verification->status();
    if (status == TRUST_E_NOSIGNATURE) return L"the download is not signed";
    if (status != 0) {
        return L"the download's signature is not valid (WinVerifyTrust error " +
               hex(static_cast<unsigned long>(status)) + L")";
    }
    // Wine's WinVerifyTrust lets a broken chain through: its chain engine
    // finds the errors all the same.
    std::optional<DWORD> chain = verification->chain_errors();
    if (!chain) return L"the download's certificate chain could not be read";
    if (*chain & broken_chain) {
        return L"the download's certificate chain does not hold (chain error status " + hex(*chain & broken_chain) +
               L")";
    }
    const CERT_CONTEXT* cert = verification->signer();
    if (!cert) return L"the download's signer could not be read";
    // Once installed, the download is held to what its own signature proves
    // when it is read as the installed launcher is: the same certificate,
    // or no later update could ever be checked against it.
    if (const wchar_t* unproven = unprovable(file, cert)) {
        return L"the download's signature would prove no publisher once installed (" + std::wstring(unproven) + L")";
    }
    if (!for_code_signing(cert)) return L"the download's certificate is not for code signing";
    if (!verification->signs_pe_image()) return L"the download's signature was made for another kind of file";
    if (!image.pe || !(image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE)) {
        return L"the download is not an executable Windows program";
    }
    if (image.characteristics & IMAGE_FILE_DLL) return L"the download is a DLL, not a program";
    Publisher signer = publisher_of(cert);
    if (signer.fault) return L"the download's signer " + describe(signer) + L" " + signer.fault;
    if (!same_publisher(installed, signer)) return L"the download is signed by " + describe(signer);
    return {};
}

// Why the open download may not replace the launcher signed by
// `installed`; empty when it may.
std::wstring refusal(const wchar_t* path, HANDLE file, const Publisher& installed)
{
    std::wstring wrong = download_fault(path, file, installed);
    if (wrong.empty()) return {};
    return wrong + L", and the installed launcher is signed by " + describe(installed) +
           L": only a launcher signed by the same publisher may replace it";
}

// ---------------------------------------------------------------------------
// Release continuity: a signed launcher is only ever replaced by the same
// program (the OriginalFilename of its version resource) at the same or a
// newer file version.  The version resource is read from each file by its
// path, as version.dll reads it.

// The version resource of `path`, as GetFileVersionInfoW copies it; null
// when the file has none.  `error` gets the Windows error of a file whose
// resource could not be read for another reason.
std::unique_ptr<BYTE[]> version_resource(const wchar_t* path, DWORD& error)
{
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &unused);
    std::unique_ptr<BYTE[]> data;
    if (size > 0) {
        data = std::make_unique<BYTE[]>(size);
        if (GetFileVersionInfoW(path, 0, size, data.get())) return data;
    }
    DWORD failure = GetLastError();  // before the buffer goes: freeing it may change the error
    data.reset();
    switch (failure) {
    case ERROR_RESOURCE_DATA_NOT_FOUND:
    case ERROR_RESOURCE_TYPE_NOT_FOUND:
    case ERROR_RESOURCE_NAME_NOT_FOUND:
    case ERROR_RESOURCE_LANG_NOT_FOUND:
    case ERROR_BAD_EXE_FORMAT:
        break;
    default:
        error = failure != 0 ? failure : ERROR_INVALID_DATA;
    }
    return data;
}

// The file version of the resource `data` (dwFileVersionMS above
// dwFileVersionLS: ordered as its four 16-bit numbers are), if it has a
// fixed part.
std::optional<unsigned long long> file_version(const BYTE* data)
{
    if (!data) return std::nullopt;
    void* fixed = nullptr;
    UINT size = 0;
    if (!VerQueryValueW(data, L"\\", &fixed, &size) || !fixed || size < sizeof(VS_FIXEDFILEINFO)) {
        return std::nullopt;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    if (info->dwSignature != VS_FFI_SIGNATURE) return std::nullopt;
    return static_cast<unsigned long long>(info->dwFileVersionMS) << 32 | info->dwFileVersionLS;
}

// 1.0.0.0
std::wstring version_text(unsigned long long version)
{
    std::wstring text;
    for (int shift = 48; shift >= 0; shift -= 16) {
        if (!text.empty()) text += L'.';
        text += std::to_wstring((version >> shift) & 0xFFFF);
    }
    return text;
}

// The OriginalFilename of the resource `data`, where it is: in each
// translation that \VarFileInfo\Translation lists, in its order, then in
// the blocks of U.S. English in UTF-16, in Windows' Western code page and in
// no code page (build tools write a translation that does not name the
// block they wrote); the first found counts.  Empty when it names none.
std::wstring original_filename(const BYTE* data)
{
    if (!data) return {};
    std::vector<unsigned long> blocks;  // language above code page: 0x040904B0
    void* found = nullptr;
    UINT size = 0;
    if (VerQueryValueW(data, L"\\VarFileInfo\\Translation", &found, &size) && found) {
        for (size_t i = 0; i + 1 < size / sizeof(WORD); i += 2) {
            const auto* translation = static_cast<const WORD*>(found) + i;
            blocks.push_back(static_cast<unsigned long>(translation[0]) << 16 | translation[1]);
        }
    }
    blocks.insert(blocks.end(), {0x040904B0, 0x040904E4, 0x04090000});
    for (unsigned long block : blocks) {
        std::wstring query = L"\\StringFileInfo\\" + hex(block).substr(2) + L"\\OriginalFilename";
        if (VerQueryValueW(data, query.c_str(), &found, &size) && found) {
            const auto* name = static_cast<const wchar_t*>(found);
            return {name, wcsnlen(name, size)};
        }
    }
    return {};
}

// Names compared as Windows compares file names.
bool same_file_name(const std::wstring& a, const std::wstring& b) noexcept
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// Why the download at `download_path` may not replace the launcher at
// `installed_path`, both signed by the same publisher; empty when it may.
// Only a launcher whose version resource has a file version is held to
// one: the download's must be there and not lower, and where the installed
// one names its OriginalFilename, the download's must be the same.  `held`
// gets the Windows error of a launcher that another program holds, to be
// waited for.  The download is held open, shared for reading and deleting
// only: whatever keeps its resource from being read leaves it without a
// version.
std::wstring version_refusal(const wchar_t* installed_path, const wchar_t* download_path, DWORD& held)
{
    DWORD error = 0;
    std::unique_ptr<BYTE[]> installed = version_resource(installed_path, error);
    if (sharing_violation(error)) {
        held = error;
        return {};
    }
    if (error) {
        return L"the installed launcher's version could not be read (Windows error " + std::to_wstring(error) +
               L")";
    }
    std::optional<unsigned long long> installed_version = file_version(installed.get());
    if (!installed_version) return {};
    DWORD unread = 0;
    std::unique_ptr<BYTE[]> download = version_resource(download_path, unread);
    std::optional<unsigned long long> download_version = file_version(download.get());
    if (!download_version) {
        return L"the download has no file version and the installed launcher is version " +
               version_text(*installed_version) + L": only a launcher of the same or a newer version may replace it";
    }
    if (std::wstring name = original_filename(installed.get()); !name.empty()) {
        std::wstring download_name = original_filename(download.get());
        if (download_name.empty()) {
            return L"the download names no program in its version resource, not \"" + escaped(name) + L'"';
        }
        if (!same_file_name(download_name, name)) {
            return L"the download is \"" + escaped(download_name) + L"\", not \"" + escaped(name) + L'"';
        }
    }
    if (*download_version < *installed_version) {
        return L"the download is version " + version_text(*download_version) + L" and the installed launcher " +
               version_text(*installed_version) + L": an older launcher never replaces a newer one";
    }
    return {};
}

// ---------------------------------------------------------------------------
// The check: the paths are made into text while the interpreter lock is
// held; everything between that and the result's making runs without it,
// on text and Windows handles alone, and says which file a finding is
// about, which the caller maps back to its path once it holds the lock.

// The path as Windows takes it (text, bytes or a path object, as the
// swap's own steps take it), or nothing for what they would refuse too: not
// a path, or a NUL in it.
std::optional<std::wstring> windows_path(PyObject* path)
{
    PyObject* raw = nullptr;
    if (!PyUnicode_FSDecoder(path, &raw)) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        PyErr_Clear();
        return std::nullopt;
    }
    Ref text_path = Ref::steal(raw);
    Py_ssize_t size = check(PyUnicode_AsWideChar(text_path.get(), nullptr, 0));  // with the terminator
    std::wstring text(static_cast<size_t>(size), L'\0');
    check(PyUnicode_AsWideChar(text_path.get(), text.data(), size));
    text.resize(static_cast<size_t>(size) - 1);
    return text;
}

// The three files the check reads, as Windows takes their paths.
struct Paths {
    std::wstring launcher;  // main_exe
    std::wstring backup;    // old_exe
    std::wstring download;  // new_exe
};

enum class Which { launcher, backup, download };

// What the check found: a refusal's reason, a file it could not read, or
// the download it let in.
struct Finding {
    std::wstring reason{};
    DWORD error = 0;  // the Windows error of the file `which`, which could not be read
    Which which = Which::download;
    File download{};
};

// `path` opened for reading, sharing `sharing`; empty with `error` set when
// it cannot be.
File open_for_check(const std::wstring& path, DWORD sharing, DWORD& error) noexcept
{
    File file(CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
    if (!file) error = GetLastError();
    return file;
}

// The launcher installed now, or its backup while the launcher is missing.
struct Installed {
    Which which = Which::launcher;
    Signer signer;
    DWORD held = 0;  // the Windows error of one that another program holds, to be waited for
};

// The launcher's signer, or its backup's while the launcher is missing.  One
// that cannot be read for another reason than its being held counts as
// unsigned, as before the check.
Installed installed_launcher(const Paths& paths)
{
    Installed installed;
    DWORD error = 0;
    File launcher = open_for_check(paths.launcher, FILE_SHARE_READ, error);
    if (!launcher && missing(error)) {
        installed.which = Which::backup;
        launcher = open_for_check(paths.backup, FILE_SHARE_READ, error);
    }
    if (launcher) {
        installed.signer = embedded_signer(launcher.get());
    } else if (sharing_violation(error)) {
        installed.held = error;
    }
    return installed;
}

// The whole check, run without the interpreter lock: text and handles only.
Finding inspect(const Paths& paths)
{
    Installed installed = installed_launcher(paths);
    if (installed.held) return Finding{.error = installed.held, .which = installed.which};
    if (!installed.signer.carried) return {};  // unsigned, or no launcher yet
    // Reading and deleting shared only: from here until it is in place,
    // nobody writes the download, and the move can still rename it.
    DWORD error = 0;
    File file = open_for_check(paths.download, FILE_SHARE_READ | FILE_SHARE_DELETE, error);
    if (!file) {
        // A missing download fails in the move, as without the check; one
        // that is there but cannot be read cannot be vouched for.
        if (missing(error)) return {};
        return Finding{.error = error, .which = Which::download};
    }
    const std::optional<Publisher>& publisher = installed.signer.publisher;
    if (!publisher || publisher->fault) {
        std::wstring why =
            publisher ? L"its signer " + describe(*publisher) + L" " + publisher->fault : installed.signer.unproven;
        return Finding{.reason = L"the installed launcher carries a signature but no proven publisher (" + why +
                                 L"): no download may replace it"};
    }
    if (std::wstring reason = refusal(paths.download.c_str(), file.get(), *publisher); !reason.empty()) {
        return Finding{.reason = std::move(reason)};
    }
    DWORD held = 0;
    const std::wstring& installed_path = installed.which == Which::backup ? paths.backup : paths.launcher;
    std::wstring reason = version_refusal(installed_path.c_str(), paths.download.c_str(), held);
    if (held) return Finding{.error = held, .which = installed.which};
    if (!reason.empty()) return Finding{.reason = std::move(reason)};
    return Finding{.download = std::move(file)};
}

}  // namespace

unsigned long last_windows_error() noexcept { return GetLastError(); }

void set_last_windows_error(unsigned long error) noexcept { SetLastError(error); }

void FilePolicy::close(HANDLE file) noexcept
{
    if (!Ref::attached()) {
        CloseHandle(file);
        return;
    }
    Unlocked unlocked;
    CloseHandle(file);
}

PublisherCheck check_publisher(PyObject* main_exe, PyObject* old_exe, PyObject* new_exe)
{
    std::optional<std::wstring> main_path = windows_path(main_exe);
    std::optional<std::wstring> old_path = windows_path(old_exe);
    std::optional<std::wstring> download_path = windows_path(new_exe);
    if (!main_path || !old_path || !download_path) return {};
    Paths paths{.launcher = std::move(*main_path),
                .backup = std::move(*old_path),
                .download = std::move(*download_path)};
    Finding finding;
    {
        Unlocked unlocked;
        finding = inspect(paths);
    }
    PublisherCheck check;
    check.download = CheckedDownload(std::move(finding.download));
    if (finding.error) {
        PyObject* path = finding.which == Which::launcher ? main_exe
                         : finding.which == Which::backup ? old_exe
                                                          : new_exe;
        PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(finding.error), path);
        throw PyError{};
    }
    if (!finding.reason.empty()) {
        auto size = static_cast<Py_ssize_t>(finding.reason.size());
        check.refusal = own(PyUnicode_FromWideChar(finding.reason.data(), size));
    }
    return check;
}

}  // namespace updater::engine
