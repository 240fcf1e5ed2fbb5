// The TLS engine on Windows: Schannel through the security provider (the same contract as the
// OpenSSL module's, clTlsEngine.h), with the server's certificate checked by us: the chain engine
// builds the chain and every error bit of its TrustStatus counts (the system's SSL policy lets an
// unknown root pass on some systems), the SSL policy then checks the name. A CA file is an extra
// store: the chain must end in one of its certificates, whose only fault may be that the system
// does not trust it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netlib/transport/tls/clTlsEngine.h"
#include "netlib/transport/tls/clTlsProvider.h"

#define SECURITY_WIN32
#include "rtl/win32/WinApi.h"
#include <bcrypt.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

struct krv_tls_session {
  krv_tls_settings Settings{};
  std::string ServerName;
  std::string CaFile;
  CredHandle Cred{};
  bool HaveCred = false;
  CtxtHandle Ctx{};
  bool HaveCtx = false;
  bool Started = false;
  bool Done = false;
  bool Closed = false;      // the peer's closing message came
  bool PeerEnded = false;   // recv answered the peer's end
  SecPkgContext_StreamSizes Sizes{};
  std::vector<char> In;     // received bytes [InStart, InEnd), records not yet decoded
  size_t InStart = 0, InEnd = 0;
  char* Plain = nullptr;    // decoded bytes not yet handed out (inside In)
  size_t PlainSize = 0;
  std::vector<char> Out;    // one encrypted record
  PCCERT_CONTEXT PeerCert = nullptr;
  int VerifyCode = 0;
  std::string VerifyText;
};

namespace {

constexpr size_t kMaxRecord = 16384 + 2048 + 5;  // plain maximum, expansion, header
// The SSL policy's SECURITY_FLAG_IGNORE_* (wininet's numbers) for what the chain check did.
constexpr DWORD kPolicyChecksDoneByUs = 0x100 /* unknown CA */ | 0x2000 /* date */ | 0x80 /* revocation */ |
                                        0x200 /* usage */;

void SetErr(char* err, int size, const std::string& text) {
  if (err && size > 0) std::snprintf(err, size_t(size), "%s", text.c_str());
}

std::string StatusText(SECURITY_STATUS s) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(s));
  wchar_t* text = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, DWORD(s), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out;
  if (n && text) {
    int len = ::WideCharToMultiByte(CP_UTF8, 0, text, int(n), nullptr, 0, nullptr, nullptr);
    out.resize(size_t(len));
    ::WideCharToMultiByte(CP_UTF8, 0, text, int(n), out.data(), len, nullptr, nullptr);
    ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
      out.pop_back();
  }
  return out.empty() ? std::string("security status ") + code : out + " (" + code + ")";
}

std::wstring Wide(const std::string& s) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

std::string Utf8(const wchar_t* w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string s(size_t(n - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}

bool IsAddressLiteral(const std::string& name) {
  if (name.find(':') != std::string::npos) return true;  // IPv6
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// Hands every output token to the caller's send and frees it.
bool SendTokens(krv_tls_session* s, SecBufferDesc& out, char* err, int errSize) {
  bool ok = true;
  for (unsigned long i = 0; i < out.cBuffers; ++i) {
    SecBuffer& b = out.pBuffers[i];
    if (b.BufferType == SECBUFFER_TOKEN && b.pvBuffer && b.cbBuffer > 0 && ok) {
      if (s->Settings.send(s->Settings.recv_ctx, b.pvBuffer, int(b.cbBuffer)) != int(b.cbBuffer)) {
        SetErr(err, errSize, "the handshake could not be sent");
        ok = false;
      }
    }
    if (b.pvBuffer) ::FreeContextBuffer(b.pvBuffer);
    b.pvBuffer = nullptr;
  }
  return ok;
}

// Receives more of the peer's bytes behind what In holds: the count, 0 at the peer's end, -1 when
// none are there now, -2 on a failure the caller keeps.
int ReceiveMore(krv_tls_session* s) {
  if (s->InStart > 0 && s->Plain == nullptr) {
    std::memmove(s->In.data(), s->In.data() + s->InStart, s->InEnd - s->InStart);
    s->InEnd -= s->InStart;
    s->InStart = 0;
  }
  size_t want = std::max<size_t>(kMaxRecord, size_t(std::max(0, s->Settings.read_buffer)));
  if (s->In.size() < s->InEnd + want) s->In.resize(s->InEnd + want);
  int n = s->Settings.recv(s->Settings.recv_ctx, s->In.data() + s->InEnd, int(want));
  if (n > 0) s->InEnd += size_t(n);
  if (n == 0) s->PeerEnded = true;
  return n;
}

// --- the server's certificate ------------------------------------------------------------------

struct TCheck {
  DWORD Bits;
  unsigned Ignore;  // the KRV_TLS_IGNORE_* that lets it pass; 0: never
  int Code;
  const char* Text;
};
const TCheck kChecks[] = {
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, 0, int(TRUST_E_CERT_SIGNATURE), "a signature in the certificate chain is not valid"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, 0, int(TRUST_E_BASIC_CONSTRAINTS), "a certificate that is no CA signed another"},
    {CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN, KRV_TLS_IGNORE_UNKNOWN_CA, int(CERT_E_UNTRUSTEDROOT),
     "the certificate's authority is not trusted"},
    {CERT_TRUST_IS_NOT_TIME_VALID, KRV_TLS_IGNORE_DATE, int(CERT_E_EXPIRED), "the certificate is expired or not yet valid"},
    {CERT_TRUST_IS_REVOKED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION,
     KRV_TLS_IGNORE_REVOCATION, int(CRYPT_E_REVOKED), "the certificate is revoked or its revocation status is unknown"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, KRV_TLS_IGNORE_USAGE, int(CERT_E_WRONG_USAGE), "the certificate is not for server authentication"},
};

HCERTSTORE LoadCaFile(const std::string& path, std::string& why) {
  FILE* f = _wfopen(Wide(path).c_str(), L"rb");
  if (!f) {
    why = "cannot read the CA file " + path;
    return nullptr;
  }
  std::string pem;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) pem.append(buf, n);
  std::fclose(f);
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (!store) {
    why = "cannot make a certificate store";
    return nullptr;
  }
  const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
  int added = 0;
  for (size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at + 1)) {
    size_t stop = pem.find(end, at);
    if (stop == std::string::npos) break;
    std::string block = pem.substr(at, stop + end.size() - at);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.c_str(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
      continue;
    std::vector<BYTE> der(size);
    if (::CryptStringToBinaryA(block.c_str(), DWORD(block.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_ALWAYS, nullptr))
      ++added;
  }
  if (added == 0) {
    ::CertCloseStore(store, 0);
    why = "no certificate in the CA file " + path;
    return nullptr;
  }
  return store;
}

void Verify(krv_tls_session* s) {
  s->VerifyCode = 0;
  s->VerifyText.clear();
  if (!s->PeerCert) {
    s->VerifyCode = int(SEC_E_NO_CREDENTIALS);
    s->VerifyText = "the server sent no certificate";
    return;
  }
  const unsigned ignore = s->Settings.ignore;
  auto fail = [&](int code, const std::string& text) {
    if (s->VerifyCode == 0) {
      s->VerifyCode = code;
      s->VerifyText = text;
    }
  };
  std::string why;
  HCERTSTORE ca = nullptr;
  if (!s->CaFile.empty() && !(ca = LoadCaFile(s->CaFile, why))) {
    if (!(ignore & KRV_TLS_IGNORE_UNKNOWN_CA)) fail(int(CERT_E_UNTRUSTEDROOT), why);
  }
  HCERTSTORE extra = ::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (extra) {
    ::CertAddStoreToCollection(extra, s->PeerCert->hCertStore, 0, 0);
    if (ca) ::CertAddStoreToCollection(extra, ca, 0, 0);
  }
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // No revocation lookups, as on Linux. Against the system's store Windows may still fetch a
  // root it lacks (its roots arrive on demand) and an issuer the certificate names; a CA file is
  // the whole trust, so then nothing is fetched at all.
  const DWORD chainFlags =
      ca ? DWORD(CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL) : DWORD(0);
  if (!::CertGetCertificateChain(nullptr, s->PeerCert, nullptr, extra, &para, chainFlags, nullptr, &chain) || !chain) {
    fail(int(CERT_E_CHAINING), "no certificate chain could be built: " + StatusText(SECURITY_STATUS(::GetLastError())));
  } else {
    DWORD bits = chain->TrustStatus.dwErrorStatus;
    if (ca) {
      // The file stands in for the system's store: the chain must end in one of its certificates.
      const CERT_SIMPLE_CHAIN* simple = chain->cChain ? chain->rgpChain[0] : nullptr;
      PCCERT_CONTEXT root =
          simple && simple->cElement ? simple->rgpElement[simple->cElement - 1]->pCertContext : nullptr;
      PCCERT_CONTEXT found = root ? ::CertFindCertificateInStore(ca, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr)
                                  : nullptr;
      if (found) {
        ::CertFreeCertificateContext(found);
        bits &= ~DWORD(CERT_TRUST_IS_UNTRUSTED_ROOT);
      } else {
        bits |= CERT_TRUST_IS_UNTRUSTED_ROOT;
      }
    }
    for (const TCheck& c : kChecks)
      if ((bits & c.Bits) && !(c.Ignore && (ignore & c.Ignore))) fail(c.Code, c.Text);
    DWORD known = 0;
    for (const TCheck& c : kChecks) known |= c.Bits;
    if (bits & ~known) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(bits & ~known));
      fail(int(CERT_E_CHAINING), std::string("the certificate chain is not valid (trust errors ") + hex + ")");
    }
    // The name, through the SSL policy; everything else was our own check above.
    if (!(ignore & KRV_TLS_IGNORE_NAME)) {
      std::wstring name = Wide(s->ServerName);
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
      ssl.cbSize = sizeof ssl;
      ssl.dwAuthType = AUTHTYPE_SERVER;
      ssl.fdwChecks = kPolicyChecksDoneByUs;
      ssl.pwszServerName = name.data();
      CERT_CHAIN_POLICY_PARA policy{};
      policy.cbSize = sizeof policy;
      policy.pvExtraPolicyPara = &ssl;
      CERT_CHAIN_POLICY_STATUS status{};
      status.cbSize = sizeof status;
      if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
        fail(int(CERT_E_CN_NO_MATCH), "the certificate's name could not be checked");
      else if (status.dwError == DWORD(CERT_E_CN_NO_MATCH))
        fail(int(CERT_E_CN_NO_MATCH), "the certificate does not carry the name " + s->ServerName);
      else if (status.dwError != 0 && s->VerifyCode == 0)
        fail(int(status.dwError), "the certificate was refused by the system's SSL policy: " +
                                      StatusText(SECURITY_STATUS(status.dwError)));
    }
    ::CertFreeCertificateChain(chain);
  }
  if (extra) ::CertCloseStore(extra, 0);
  if (ca) ::CertCloseStore(ca, 0);
}

// --- the functions of the table ---------------------------------------------------------------

void Destroy(krv_tls_session* s) {
  if (!s) return;
  if (s->PeerCert) ::CertFreeCertificateContext(s->PeerCert);
  if (s->HaveCtx) ::DeleteSecurityContext(&s->Ctx);
  if (s->HaveCred) ::FreeCredentialsHandle(&s->Cred);
  delete s;
}

krv_tls_session* Create(const krv_tls_settings* settings, char* err, int errSize) {
  if (!settings || !settings->recv || !settings->send) {
    SetErr(err, errSize, "the TLS session needs its receive and send functions");
    return nullptr;
  }
  auto* s = new krv_tls_session();
  s->Settings = *settings;
  s->ServerName = settings->server_name ? settings->server_name : "";
  s->CaFile = settings->ca_file ? settings->ca_file : "";
  if (settings->ca_path && *settings->ca_path) {
    SetErr(err, errSize, "a folder of trusted certificates is not supported on Windows (use a CA file)");
    Destroy(s);
    return nullptr;
  }
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  // TLS 1.2: what every Schannel offers through this record (TLS 1.3 needs another one).
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  SECURITY_STATUS st = ::AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                                   nullptr, &cred, nullptr, nullptr, &s->Cred, nullptr);
  if (st != SEC_E_OK) {
    SetErr(err, errSize, "Schannel refused the credentials: " + StatusText(st));
    Destroy(s);
    return nullptr;
  }
  s->HaveCred = true;
  return s;
}

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

int Handshake(krv_tls_session* s, char* err, int errSize) {
  if (s->Done) return KRV_TLS_OK;
  std::wstring target = IsAddressLiteral(s->ServerName) ? std::wstring() : Wide(s->ServerName);
  wchar_t* targetName = target.empty() ? nullptr : target.data();
  if (!s->Started) {
    SecBuffer outBuf{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &outBuf};
    DWORD attrs = 0;
    SECURITY_STATUS st = ::InitializeSecurityContextW(&s->Cred, nullptr, targetName, kContextFlags, 0, 0, nullptr, 0,
                                                      &s->Ctx, &out, &attrs, nullptr);
    if (st != SEC_I_CONTINUE_NEEDED) {
      SendTokens(s, out, nullptr, 0);
      SetErr(err, errSize, StatusText(st));
      return KRV_TLS_ERROR;
    }
    s->HaveCtx = true;
    s->Started = true;
    if (!SendTokens(s, out, err, errSize)) return KRV_TLS_ERROR;
    return KRV_TLS_WANT_READ;
  }
  for (;;) {
    if (s->InEnd == s->InStart) {
      int n = ReceiveMore(s);
      if (n == -1) return KRV_TLS_WANT_READ;
      if (n <= 0) {
        SetErr(err, errSize, n == 0 ? "the server closed the connection" : "the receive failed");
        return KRV_TLS_ERROR;
      }
    }
    SecBuffer inBufs[2] = {{DWORD(s->InEnd - s->InStart), SECBUFFER_TOKEN, s->In.data() + s->InStart},
                           {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in{SECBUFFER_VERSION, 2, inBufs};
    SecBuffer outBufs[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc out{SECBUFFER_VERSION, 2, outBufs};
    DWORD attrs = 0;
    SECURITY_STATUS st = ::InitializeSecurityContextW(&s->Cred, &s->Ctx, targetName, kContextFlags, 0, 0, &in, 0,
                                                      nullptr, &out, &attrs, nullptr);
    if (st == SEC_E_INCOMPLETE_MESSAGE) {
      int n = ReceiveMore(s);
      if (n == -1) return KRV_TLS_WANT_READ;
      if (n <= 0) {
        SetErr(err, errSize, n == 0 ? "the server closed the connection" : "the receive failed");
        return KRV_TLS_ERROR;
      }
      continue;
    }
    if (!SendTokens(s, out, err, errSize)) return KRV_TLS_ERROR;
    // What the step did not take stays for the next step, or is the first record of data.
    size_t extra = inBufs[1].BufferType == SECBUFFER_EXTRA ? inBufs[1].cbBuffer : 0;
    s->InStart = s->InEnd - extra;
    if (st == SEC_I_INCOMPLETE_CREDENTIALS) return KRV_TLS_WANT_CERT;
    if (st == SEC_I_CONTINUE_NEEDED) continue;
    if (st != SEC_E_OK) {
      SetErr(err, errSize, StatusText(st));
      return KRV_TLS_ERROR;
    }
    s->Done = true;
    ::QueryContextAttributesW(&s->Ctx, SECPKG_ATTR_STREAM_SIZES, &s->Sizes);
    ::QueryContextAttributesW(&s->Ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &s->PeerCert);
    Verify(s);
    return KRV_TLS_OK;
  }
}

int SetClientCert(krv_tls_session* s, const char* certPem, const char* keyPem, char* err, int errSize) {
  if (certPem && *certPem) {
    SetErr(err, errSize, "client certificates are not supported by the Schannel engine");
    return KRV_TLS_ERROR;
  }
  return KRV_TLS_OK;  // go on without one
}

int Read(krv_tls_session* s, void* buffer, int size, char* err, int errSize) {
  for (;;) {
    if (s->PlainSize > 0) {
      size_t n = std::min<size_t>(s->PlainSize, size_t(size));
      std::memcpy(buffer, s->Plain, n);
      s->Plain += n;
      s->PlainSize -= n;
      if (s->PlainSize == 0) s->Plain = nullptr;
      return int(n);
    }
    if (s->Closed) return -KRV_TLS_CLOSED;
    if (s->InEnd > s->InStart) {
      SecBuffer bufs[4] = {{DWORD(s->InEnd - s->InStart), SECBUFFER_DATA, s->In.data() + s->InStart},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
      SECURITY_STATUS st = ::DecryptMessage(&s->Ctx, &desc, 0, nullptr);
      if (st == SEC_E_OK || st == SEC_I_CONTEXT_EXPIRED || st == SEC_I_RENEGOTIATE) {
        size_t extra = 0;
        for (SecBuffer& b : bufs) {
          if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) {
            s->Plain = static_cast<char*>(b.pvBuffer);
            s->PlainSize = b.cbBuffer;
          }
          if (b.BufferType == SECBUFFER_EXTRA) extra = b.cbBuffer;
        }
        s->InStart = s->InEnd - extra;
        if (st == SEC_I_CONTEXT_EXPIRED) s->Closed = true;
        if (st == SEC_I_RENEGOTIATE) {
          SetErr(err, errSize, "the server asked for a renegotiation, which is not supported");
          return KRV_TLS_ERROR;
        }
        continue;
      }
      if (st != SEC_E_INCOMPLETE_MESSAGE) {
        SetErr(err, errSize, StatusText(st));
        return KRV_TLS_ERROR;
      }
    }
    if (s->PeerEnded) return 0;
    int n = ReceiveMore(s);
    if (n == -1 || n == 0) return 0;
    if (n < 0) {
      SetErr(err, errSize, "the receive failed");
      return KRV_TLS_ERROR;
    }
  }
}

int Write(krv_tls_session* s, const void* data, int size, char* err, int errSize) {
  if (!s->Done) {
    SetErr(err, errSize, "the handshake is not complete");
    return KRV_TLS_ERROR;
  }
  const char* p = static_cast<const char*>(data);
  int left = size;
  while (left > 0) {
    DWORD chunk = std::min<DWORD>(DWORD(left), s->Sizes.cbMaximumMessage);
    size_t total = s->Sizes.cbHeader + chunk + s->Sizes.cbTrailer;
    if (s->Out.size() < total) s->Out.resize(total);
    std::memcpy(s->Out.data() + s->Sizes.cbHeader, p, chunk);
    SecBuffer bufs[4] = {{s->Sizes.cbHeader, SECBUFFER_STREAM_HEADER, s->Out.data()},
                         {chunk, SECBUFFER_DATA, s->Out.data() + s->Sizes.cbHeader},
                         {s->Sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, s->Out.data() + s->Sizes.cbHeader + chunk},
                         {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
    SECURITY_STATUS st = ::EncryptMessage(&s->Ctx, 0, &desc, 0);
    if (st != SEC_E_OK) {
      SetErr(err, errSize, StatusText(st));
      return KRV_TLS_ERROR;
    }
    int record = int(bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer);
    if (s->Settings.send(s->Settings.recv_ctx, s->Out.data(), record) != record) {
      SetErr(err, errSize, "the record could not be sent");
      return KRV_TLS_ERROR;
    }
    p += chunk;
    left -= int(chunk);
  }
  return size;
}

void Shutdown(krv_tls_session* s) {
  if (!s->HaveCtx) return;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer tok{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc desc{SECBUFFER_VERSION, 1, &tok};
  if (::ApplyControlToken(&s->Ctx, &desc) != SEC_E_OK) return;
  SecBuffer outBuf{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out{SECBUFFER_VERSION, 1, &outBuf};
  DWORD attrs = 0;
  ::InitializeSecurityContextW(&s->Cred, &s->Ctx, nullptr, kContextFlags, 0, 0, nullptr, 0, nullptr, &out, &attrs,
                               nullptr);
  SendTokens(s, out, nullptr, 0);
}

// A whole record waits undecoded when its header and body are all in In.
int Buffered(krv_tls_session* s) {
  if (s->PlainSize > 0 || s->Closed) return 1;
  size_t have = s->InEnd - s->InStart;
  if (have < 5) return 0;
  const auto* h = reinterpret_cast<const unsigned char*>(s->In.data() + s->InStart);
  return have >= 5 + ((size_t(h[3]) << 8) | h[4]) ? 1 : 0;
}

int VerifyResult(krv_tls_session* s, char* text, int size) {
  SetErr(text, size, s->VerifyText);
  return s->VerifyCode;
}

int CopyField(const std::string& value, char* buffer, int size) {
  if (buffer && size > 0) {
    size_t n = std::min(value.size(), size_t(size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = 0;
  }
  return int(value.size());
}

std::string NameText(const CERT_NAME_BLOB* name) {
  DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  DWORD n = ::CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name), flags, nullptr, 0);
  std::wstring w(n, L'\0');
  ::CertNameToStrW(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name), flags, w.data(), n);
  return Utf8(w.c_str());
}

std::string DateText(const FILETIME& ft) {
  SYSTEMTIME t{};
  ::FileTimeToSystemTime(&ft, &t);
  char out[32];
  std::snprintf(out, sizeof out, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return out;
}

std::string Sha256Text(const BYTE* data, DWORD size) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32];
  bool ok = BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
            BCRYPT_SUCCESS(::BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0)) &&
            BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<BYTE*>(data), size, 0)) &&
            BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest, sizeof digest, 0));
  if (hash) ::BCryptDestroyHash(hash);
  if (alg) ::BCryptCloseAlgorithmProvider(alg, 0);
  if (!ok) return {};
  std::string out;
  char hex[4];
  for (unsigned char b : digest) {
    std::snprintf(hex, sizeof hex, out.empty() ? "%02X" : ":%02X", b);
    out += hex;
  }
  return out;
}

std::string PemText(const BYTE* data, DWORD size) {
  DWORD n = 0;
  if (!::CryptBinaryToStringA(data, size, CRYPT_STRING_BASE64HEADER, nullptr, &n)) return {};
  std::string out(n, '\0');
  ::CryptBinaryToStringA(data, size, CRYPT_STRING_BASE64HEADER, out.data(), &n);
  out.resize(n);
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
  while (!out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

int PeerField(krv_tls_session* s, int field, char* buffer, int size) {
  if (field == KRV_TLS_FIELD_PROTOCOL || field == KRV_TLS_FIELD_CIPHER) {
    if (!s->Done) return -1;
    if (field == KRV_TLS_FIELD_PROTOCOL) {
      SecPkgContext_ConnectionInfo info{};
      if (::QueryContextAttributesW(&s->Ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return -1;
      const char* name = (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) ? "TLSv1.2"
                         : (info.dwProtocol & SP_PROT_TLS1_1_CLIENT) ? "TLSv1.1"
                         : (info.dwProtocol & SP_PROT_TLS1_0_CLIENT) ? "TLSv1"
                                                                      : "TLS";
      return CopyField(name, buffer, size);
    }
    SecPkgContext_CipherInfo info{};
    info.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (::QueryContextAttributesW(&s->Ctx, SECPKG_ATTR_CIPHER_INFO, &info) != SEC_E_OK) return -1;
    return CopyField(Utf8(info.szCipherSuite), buffer, size);
  }
  if (!s->PeerCert) return -1;
  const CERT_INFO* info = s->PeerCert->pCertInfo;
  switch (field) {
    case KRV_TLS_FIELD_SUBJECT: return CopyField(NameText(&info->Subject), buffer, size);
    case KRV_TLS_FIELD_ISSUER: return CopyField(NameText(&info->Issuer), buffer, size);
    case KRV_TLS_FIELD_NOT_BEFORE: return CopyField(DateText(info->NotBefore), buffer, size);
    case KRV_TLS_FIELD_NOT_AFTER: return CopyField(DateText(info->NotAfter), buffer, size);
    case KRV_TLS_FIELD_SHA256:
      return CopyField(Sha256Text(s->PeerCert->pbCertEncoded, s->PeerCert->cbCertEncoded), buffer, size);
    case KRV_TLS_FIELD_PEM:
      return CopyField(PemText(s->PeerCert->pbCertEncoded, s->PeerCert->cbCertEncoded), buffer, size);
    default: return -1;
  }
}

const krv_tls_api kSchannel = {KRV_TLS_API_VERSION, Create, Destroy, Handshake, SetClientCert, Read, Write,
                               Shutdown, Buffered, VerifyResult, PeerField};

}  // namespace

namespace netlib {

TTlsProvider LoadTlsProvider() { return TTlsProvider{&kSchannel, rtl::String(), rtl::String()}; }

}  // namespace netlib
