#include "platform/sspi/Spnego.h"

namespace platform::sspi {

const SpnegoBytes kNtlmMechOid = {0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0a};

namespace {

const SpnegoBytes kSpnegoOid = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};

// A view of DER bytes; Next reads one element and advances, refusing anything that would
// reach past the end.
struct DerReader {
  const uint8_t* p;
  size_t n;

  bool AtEnd() const { return n == 0; }
  bool Next(uint8_t& tag, DerReader& content) {
    if (n < 2) return false;
    tag = p[0];
    if ((tag & 0x1f) == 0x1f) return false;  // multi-byte tags do not occur in these tokens
    size_t len = p[1];
    size_t head = 2;
    if (len & 0x80) {
      const size_t count = len & 0x7f;
      if (count == 0 || count > 4 || n - 2 < count) return false;  // no indefinite lengths in DER
      len = 0;
      for (size_t i = 0; i < count; ++i) len = (len << 8) | p[2 + i];
      head += count;
    }
    if (len > n - head) return false;
    content = {p + head, len};
    p += head + len;
    n -= head + len;
    return true;
  }
  SpnegoBytes Bytes() const { return SpnegoBytes(p, p + n); }
};

void AppendLength(SpnegoBytes& out, size_t len) {
  if (len < 0x80) {
    out.push_back(static_cast<uint8_t>(len));
    return;
  }
  uint8_t tmp[sizeof(size_t)];
  int count = 0;
  for (size_t v = len; v; v >>= 8) tmp[count++] = static_cast<uint8_t>(v);
  out.push_back(static_cast<uint8_t>(0x80 | count));
  while (count) out.push_back(tmp[--count]);
}

// Reads the only element of r with the expected tag.
bool Expect(DerReader& r, uint8_t tag, DerReader& content) {
  uint8_t t = 0;
  return r.Next(t, content) && t == tag;
}

}  // namespace

void DerAppend(SpnegoBytes& out, uint8_t tag, const SpnegoBytes& content) {
  out.push_back(tag);
  AppendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

SpnegoBytes BuildSpnegoInit(const SpnegoBytes& mechToken) {
  SpnegoBytes oid, mechList, mechTypes, token, fields, seq, init, gss;
  DerAppend(oid, 0x06, kNtlmMechOid);
  DerAppend(mechList, 0x30, oid);
  DerAppend(fields, 0xa0, mechList);
  DerAppend(token, 0x04, mechToken);
  DerAppend(fields, 0xa2, token);
  DerAppend(seq, 0x30, fields);
  DerAppend(init, 0x06, kSpnegoOid);
  DerAppend(init, 0xa0, seq);
  DerAppend(gss, 0x60, init);
  return gss;
}

SpnegoBytes BuildSpnegoResp(const SpnegoResp& resp) {
  SpnegoBytes fields, tmp;
  if (resp.NegState != SpnegoNegState::Absent) {
    tmp.clear();
    DerAppend(tmp, 0x0a, {static_cast<uint8_t>(resp.NegState)});
    DerAppend(fields, 0xa0, tmp);
  }
  if (resp.SupportedMech) {
    tmp.clear();
    DerAppend(tmp, 0x06, *resp.SupportedMech);
    DerAppend(fields, 0xa1, tmp);
  }
  if (resp.ResponseToken) {
    tmp.clear();
    DerAppend(tmp, 0x04, *resp.ResponseToken);
    DerAppend(fields, 0xa2, tmp);
  }
  if (resp.MechListMic) {
    tmp.clear();
    DerAppend(tmp, 0x04, *resp.MechListMic);
    DerAppend(fields, 0xa3, tmp);
  }
  SpnegoBytes seq, out;
  DerAppend(seq, 0x30, fields);
  DerAppend(out, 0xa1, seq);
  return out;
}

std::optional<SpnegoResp> ParseSpnegoResp(const uint8_t* data, size_t size) {
  DerReader top{data, size}, outer, seq;
  if (!Expect(top, 0xa1, outer) || !top.AtEnd() || !Expect(outer, 0x30, seq) || !outer.AtEnd()) return std::nullopt;
  SpnegoResp r;
  int last = -1;
  while (!seq.AtEnd()) {
    uint8_t tag = 0;
    DerReader field, value;
    if (!seq.Next(tag, field)) return std::nullopt;
    const int index = tag - 0xa0;
    if (index < 0 || index > 3 || index <= last) return std::nullopt;  // known fields, in order, once
    last = index;
    switch (index) {
      case 0:
        if (!Expect(field, 0x0a, value) || value.n != 1 || value.p[0] > 3) return std::nullopt;
        r.NegState = static_cast<SpnegoNegState>(value.p[0]);
        break;
      case 1:
        if (!Expect(field, 0x06, value)) return std::nullopt;
        r.SupportedMech = value.Bytes();
        break;
      case 2:
        if (!Expect(field, 0x04, value)) return std::nullopt;
        r.ResponseToken = value.Bytes();
        break;
      case 3:
        if (!Expect(field, 0x04, value)) return std::nullopt;
        r.MechListMic = value.Bytes();
        break;
    }
    if (!field.AtEnd()) return std::nullopt;
  }
  return r;
}

std::optional<SpnegoInit> ParseSpnegoInit(const uint8_t* data, size_t size) {
  DerReader top{data, size}, gss, oid, wrapped, seq;
  if (!Expect(top, 0x60, gss) || !top.AtEnd() || !Expect(gss, 0x06, oid) || oid.Bytes() != kSpnegoOid ||
      !Expect(gss, 0xa0, wrapped) || !gss.AtEnd() || !Expect(wrapped, 0x30, seq) || !wrapped.AtEnd())
    return std::nullopt;
  SpnegoInit r;
  while (!seq.AtEnd()) {
    uint8_t tag = 0;
    DerReader field, value;
    if (!seq.Next(tag, field)) return std::nullopt;
    if (tag == 0xa0) {
      if (!Expect(field, 0x30, value)) return std::nullopt;
      while (!value.AtEnd()) {
        DerReader mech;
        if (!Expect(value, 0x06, mech)) return std::nullopt;
        r.MechTypes.push_back(mech.Bytes());
      }
    } else if (tag == 0xa2) {
      if (!Expect(field, 0x04, value)) return std::nullopt;
      r.MechToken = value.Bytes();
    }  // reqFlags and mechListMIC are not needed
  }
  return r;
}

}  // namespace platform::sspi
