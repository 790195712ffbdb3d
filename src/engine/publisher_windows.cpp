// The check of publisher.h, on Windows: wintrust, crypt32 and version.dll.
// The one place the module calls Windows itself.  Every handle, store,
// message, certificate, WinVerifyTrust state and version resource has an
// owner here, so each is closed on every path, std::bad_alloc included; the
// interpreter lock is let go around the Windows calls, which read and hash
// whole files.
#include "publisher.h"

#include <windows.h>
// After windows.h:
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <winver.h>

#include <cwchar>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

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

struct CloseStore {
    void operator()(void* store) const noexcept { CertCloseStore(store, 0); }
};
struct CloseMessage {
    void operator()(void* message) const noexcept { CryptMsgClose(message); }
};
struct FreeCertificate {
    void operator()(const CERT_CONTEXT* cert) const noexcept { CertFreeCertificateContext(cert); }
};
struct CloseFile {
    void operator()(void* file) const noexcept { CloseHandle(file); }
};
using Store = std::unique_ptr<void, CloseStore>;
using Message = std::unique_ptr<void, CloseMessage>;
using Certificate = std::unique_ptr<const CERT_CONTEXT, FreeCertificate>;
using File = std::unique_ptr<void, CloseFile>;

// The subject attributes that name a publisher, as decoded text.
struct Publisher {
    std::wstring common_name;
    std::wstring organization;
    std::wstring country;
};

// The first subject attribute `oid` of `cert`; empty when there is none.
std::wstring attribute(const CERT_CONTEXT* cert, const char* oid)
{
    void* type = const_cast<char*>(oid);
    DWORD size = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, type, nullptr, 0);  // with the terminator
    std::wstring text(size, L'\0');
    DWORD written = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, type, text.data(), size);
    text.resize(written > 0 ? written - 1 : 0);
    return text;
}

Publisher publisher_of(const CERT_CONTEXT* cert)
{
    return {attribute(cert, szOID_COMMON_NAME), attribute(cert, szOID_ORGANIZATION_NAME),
            attribute(cert, szOID_COUNTRY_NAME)};
}

// Attribute by attribute: the country counts only where the installed
// launcher's certificate names one.  A renewal (new key, serial or issuer)
// keeps the name and the organisation, and passes.
bool same_publisher(const Publisher& installed, const Publisher& signer)
{
    return signer.common_name == installed.common_name && signer.organization == installed.organization &&
           (installed.country.empty() || signer.country == installed.country);
}

// "CN=..., O=..., C=..." in quotes, the attributes that are present.
std::wstring describe(const Publisher& p)
{
    std::wstring text;
    for (const auto& [label, value] : {std::pair{L"CN=", &p.common_name}, std::pair{L"O=", &p.organization},
                                       std::pair{L"C=", &p.country}}) {
        if (value->empty()) continue;
        if (!text.empty()) text += L", ";
        text += label;
        text += *value;
    }
    return text.empty() ? L"a publisher without a name" : L'"' + text + L'"';
}

// 0x80096010
std::wstring hex(LONG code)
{
    std::wstring text = L"0x";
    auto bits = static_cast<unsigned long>(code);
    for (int shift = 28; shift >= 0; shift -= 4) text += L"0123456789ABCDEF"[(bits >> shift) & 0xF];
    return text;
}

// A file another program holds open without sharing it (32), or has locked
// a part of (33): worth waiting for, as the swap's own steps do.
bool held_by_another(DWORD error) noexcept
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// The signer of the signature embedded in `path`, whether or not it still
// verifies: the certificate the signer information names, from the
// signature's own certificates.  Nothing when the file has no signature,
// cannot be read, or does not carry its signer's certificate: there is then
// no publisher to hold the download to.  `held` gets the Windows error of a
// launcher that another program holds, which has to be waited for: read as
// unsigned, it would let any download in.
std::optional<Publisher> embedded_signer(const wchar_t* path, DWORD& held)
{
    // CryptQueryObject reports a file it could not open no better than one
    // without a signature: a first open, as the check reads files, tells them
    // apart.
    HANDLE probe = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        if (DWORD error = GetLastError(); held_by_another(error)) held = error;
        return std::nullopt;
    }
    CloseHandle(probe);
    DWORD encoding = 0;
    HCERTSTORE raw_store = nullptr;
    HCRYPTMSG raw_message = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, nullptr, nullptr, &raw_store, &raw_message,
                          nullptr)) {
        if (DWORD error = GetLastError(); held_by_another(error)) held = error;
        return std::nullopt;
    }
    Store store(raw_store);
    Message message(raw_message);
    DWORD size = 0;
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) return std::nullopt;
    auto info = std::make_unique<BYTE[]>(size);  // operator new[]: aligned for CERT_INFO
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.get(), &size)) return std::nullopt;
    auto* signer_info = reinterpret_cast<CERT_INFO*>(info.get());
    Certificate cert(CertGetSubjectCertificateFromStore(store.get(), encoding, signer_info));
    if (!cert) return std::nullopt;
    return publisher_of(cert.get());
}

// One WinVerifyTrust run on an open file, its state closed with the object:
// the generic Authenticode policy, no UI, revocation from the cache only
// (never the network: an offline machine must still update).
class Verification {
public:
    Verification(const wchar_t* path, HANDLE file) noexcept
    {
        file_.cbStruct = sizeof file_;
        file_.pcwszFilePath = path;
        file_.hFile = file;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &file_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;
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

    // The signer's certificate from the chain WinVerifyTrust built and
    // validated, never from the file's certificate bag, which the signature
    // does not cover.  Null when there is none.
    const CERT_CONTEXT* signer() const noexcept
    {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        CRYPT_PROVIDER_SGNR* sgnr = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* leaf = sgnr ? WTHelperGetProvCertFromChain(sgnr, 0) : nullptr;
        return leaf ? leaf->pCert : nullptr;
    }

private:
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file_{};
    WINTRUST_DATA data_{};
    LONG status_ = 0;
};

// Why the download may not replace a launcher `installed` signed; empty
// when it may.
std::wstring refusal(const wchar_t* path, HANDLE file, const Publisher& installed)
{
    Verification verification(path, file);
    std::wstring wrong;
    if (verification.status() == TRUST_E_NOSIGNATURE) {
        wrong = L"the download is not signed";
    } else if (verification.status() != 0) {
        wrong = L"the download's signature is not valid (WinVerifyTrust error " + hex(verification.status()) + L")";
    } else if (const CERT_CONTEXT* cert = verification.signer(); !cert) {
        wrong = L"the download's signer could not be read";
    } else if (Publisher signer = publisher_of(cert); !same_publisher(installed, signer)) {
        wrong = L"the download is signed by " + describe(signer);
    } else {
        return {};
    }
    return wrong + L", and the installed launcher is signed by " + describe(installed) +
           L": only a launcher signed by the same publisher may replace it";
}

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
        data.reset();
    }
    switch (DWORD failure = GetLastError()) {
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

// The OriginalFilename of the resource `data`, in its first translation;
// empty when it names none.
std::wstring original_filename(const BYTE* data)
{
    void* found = nullptr;
    UINT size = 0;
    if (!data || !VerQueryValueW(data, L"\\VarFileInfo\\Translation", &found, &size) || !found || size < 4) {
        return {};
    }
    const auto* translation = static_cast<const WORD*>(found);
    std::wstring query = L"\\StringFileInfo\\";
    for (WORD part : {translation[0], translation[1]}) {
        for (int shift = 12; shift >= 0; shift -= 4) query += L"0123456789abcdef"[(part >> shift) & 0xF];
    }
    query += L"\\OriginalFilename";
    if (!VerQueryValueW(data, query.c_str(), &found, &size) || !found) return {};
    const auto* name = static_cast<const wchar_t*>(found);
    return {name, wcsnlen(name, size)};
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
// waited for.  The download is open for reading, shared with readers only:
// whatever keeps its resource from being read leaves it without a version.
std::wstring release_refusal(const wchar_t* installed_path, const wchar_t* download_path, DWORD& held)
{
    DWORD error = 0;
    std::unique_ptr<BYTE[]> installed = version_resource(installed_path, error);
    if (held_by_another(error)) {
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
            return L"the download names no program in its version resource, not \"" + name + L'"';
        }
        if (!same_file_name(download_name, name)) {
            return L"the download is \"" + download_name + L"\", not \"" + name + L'"';
        }
    }
    if (*download_version < *installed_version) {
        return L"the download is version " + version_text(*download_version) + L" and the installed launcher " +
               version_text(*installed_version) + L": an older launcher never replaces a newer one";
    }
    return {};
}

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

// What the check found: a refusal's reason, or a file it could not read.
struct Finding {
    std::wstring reason;
    DWORD error = 0;
    PyObject* path = nullptr;
};

Finding inspect(const std::wstring& installed_path, PyObject* main_exe, const std::wstring& download_path,
                PyObject* new_exe)
{
    Finding finding;
    std::optional<Publisher> installed = embedded_signer(installed_path.c_str(), finding.error);
    if (finding.error) finding.path = main_exe;
    if (!installed) return finding;  // unsigned, no launcher yet, or held
    // Open for reading, shared with readers only: the file cannot change
    // while it is checked.
    HANDLE opened = CreateFileW(download_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        // A missing download fails in the move, as without the check; one
        // that is there but cannot be read cannot be vouched for.
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) finding = {{}, error, new_exe};
        return finding;
    }
    File file(opened);
    finding.reason = refusal(download_path.c_str(), file.get(), *installed);
    if (finding.reason.empty()) {
        finding.reason = release_refusal(installed_path.c_str(), download_path.c_str(), finding.error);
        if (finding.error) finding.path = main_exe;
    }
    return finding;
}

}  // namespace

Ref check_publisher(PyObject* main_exe, PyObject* new_exe)
{
    std::optional<std::wstring> installed_path = windows_path(main_exe);
    std::optional<std::wstring> download_path = windows_path(new_exe);
    if (!installed_path || !download_path) return {};
    Finding finding;
    {
        Unlocked unlocked;
        finding = inspect(*installed_path, main_exe, *download_path, new_exe);
    }
    if (finding.error) {
        PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, static_cast<int>(finding.error), finding.path);
        throw PyError{};
    }
    if (finding.reason.empty()) return {};
    return own(PyUnicode_FromWideChar(finding.reason.data(), static_cast<Py_ssize_t>(finding.reason.size())));
}

}  // namespace updater::engine
