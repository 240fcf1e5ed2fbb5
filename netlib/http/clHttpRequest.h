// The request object: the request header and the request body. This system sends requests
// without body items, so the body is always empty; the header is written out as lines for the
// HTTP client.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "netlib/http/clHttpHeader.h"
#include "rtl/Classes.h"

namespace netlib {

class TclHttpRequest {
 public:
  TclHttpRequest();
  ~TclHttpRequest();
  TclHttpRequest(const TclHttpRequest&) = delete;
  TclHttpRequest& operator=(const TclHttpRequest&) = delete;

  TclHttpRequestHeader* Header() const { return FHeader.get(); }
  // Copies the given header (Assign).
  void SetHeader(const TclHttpRequestHeader& Value) { FHeader->Assign(&Value); }

  // The header written out as lines; built on first use and kept until the request or its
  // header changes. Content-Length carries the body size, and is left out when it is 0.
  const rtl::TStringList& HeaderSource();
  // The body read back as text lines in Header()->CharSet(); cached the same way.
  const rtl::TStringList& RequestSource();
  // A new stream over the body, for the caller to free.
  std::unique_ptr<rtl::TStream> RequestStream() const;
  // Total size of the body in bytes.
  int64_t TotalSize() const { return 0; }
  // Removes the body and clears the header (Accept becomes "*/*").
  void Clear();

  // Fired after the request or its header changed.
  std::function<void(TclHttpRequest* Sender)> OnChanged;

 private:
  void Changed();

  std::unique_ptr<TclHttpRequestHeader> FHeader;
  rtl::TStringList FHeaderSource;
  rtl::TStringList FRequestSource;
  bool FHeaderSourceValid = false;
  bool FRequestSourceValid = false;
};

}  // namespace netlib
