#include "netlib/http/clHttpRequest.h"

#include "netlib/text/clUtils.h"

namespace netlib {

TclHttpRequest::TclHttpRequest() : FHeader(std::make_unique<TclHttpRequestHeader>()) {
  FHeader->OnChanged = [this](TclHttpEntityHeader*) { Changed(); };
}

TclHttpRequest::~TclHttpRequest() { FHeader->OnChanged = nullptr; }

void TclHttpRequest::Changed() {
  FHeaderSourceValid = false;
  FRequestSourceValid = false;
  if (OnChanged) OnChanged(this);
}

const rtl::TStringList& TclHttpRequest::HeaderSource() {
  if (!FHeaderSourceValid) {
    rtl::String length = rtl::IntToStr(TotalSize());
    FHeader->SetContentLength(length);
    if (length == u"0") FHeader->SetContentLength(u"");
    FHeaderSource.Clear();
    FHeader->AssignHeader(FHeaderSource);
    // Set last: the length updates above invalidate the cache as they happen.
    FHeaderSourceValid = true;
  }
  return FHeaderSource;
}

const rtl::TStringList& TclHttpRequest::RequestSource() {
  if (!FRequestSourceValid) {
    FRequestSource.Clear();
    std::unique_ptr<rtl::TStream> body = RequestStream();
    TclStringsUtils::LoadStrings(*body, FRequestSource, FHeader->CharSet());
    FRequestSourceValid = true;
  }
  return FRequestSource;
}

std::unique_ptr<rtl::TStream> TclHttpRequest::RequestStream() const {
  return std::make_unique<rtl::TMemoryStream>();
}

void TclHttpRequest::Clear() {
  FHeader->Clear();
  Changed();
}

}  // namespace netlib
