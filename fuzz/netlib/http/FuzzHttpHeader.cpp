// ParseHeader and AssignHeader on arbitrary response and request heads; a written head parses
// back to the same simple fields.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "netlib/http/clHttpHeader.h"
#include "rtl/Exception.h"

using namespace netlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtl::TStringList lines;
  lines.SetText(rtl::Utf8ToString(std::string(reinterpret_cast<const char*>(data), size)));

  TclHttpResponseHeader response;
  response.ParseHeader(lines);
  rtl::TStringList written;
  response.AssignHeader(written);
  TclHttpResponseHeader again;
  again.ParseHeader(written);
  if (again.ContentLength() != response.ContentLength() || again.Location() != response.Location() ||
      again.Server() != response.Server() || again.TransferEncoding() != response.TransferEncoding())
    std::abort();

  TclHttpRequestHeader request;
  request.ParseHeader(lines);
  rtl::TStringList requestLines;
  request.AssignHeader(requestLines);
  TclHttpRequestHeader copy;
  copy.Assign(&request);
  if (copy.Host() != request.Host() || copy.ExtraFields()->Count() != request.ExtraFields()->Count())
    std::abort();
  return 0;
}
