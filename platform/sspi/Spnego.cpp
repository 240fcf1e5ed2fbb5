#include "platform/sspi/Spnego.h"

#include "platform/DerReader.h"

namespace platform::sspi {

const SpnegoBytes kNtlmMechOid = {0x2b, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x02, 0x0a};

namespace {

const SpnegoBytes kSpnegoOid = {0x2b, 0x06, 0x01, 0x05, 0x05, 0x02};

SpnegoBytes BytesOf(const TDerReader& r) { return SpnegoBytes(r.P, r.P + r.N); }

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
  TDerReader top{data, size}, outer, seq;
  if (!top.Expect(0xa1, outer) || !top.AtEnd() || !outer.Expect(0x30, seq) || !outer.AtEnd()) return std::nullopt;
  SpnegoResp r;
  int last = -1;
  while (!seq.AtEnd()) {
    uint8_t tag = 0;
    TDerReader field, value;
    if (!seq.Next(tag, field)) return std::nullopt;
    const int index = tag - 0xa0;
    if (index < 0 || index > 3 || index <= last) return std::nullopt;  // known fields, in order, once
    last = index;
    switch (index) {
      case 0:
        if (!field.Expect(0x0a, value) || value.N != 1 || value.P[0] > 3) return std::nullopt;
        r.NegState = static_cast<SpnegoNegState>(value.P[0]);
        break;
      case 1:
        if (!field.Expect(0x06, value)) return std::nullopt;
        r.SupportedMech = BytesOf(value);
        break;
      case 2:
        if (!field.Expect(0x04, value)) return std::nullopt;
        r.ResponseToken = BytesOf(value);
        break;
      case 3:
        if (!field.Expect(0x04, value)) return std::nullopt;
        r.MechListMic = BytesOf(value);
        break;
    }
    if (!field.AtEnd()) return std::nullopt;
  }
  return r;
}

std::optional<SpnegoInit> ParseSpnegoInit(const uint8_t* data, size_t size) {
  TDerReader top{data, size}, gss, oid, wrapped, seq;
  if (!top.Expect(0x60, gss) || !top.AtEnd() || !gss.Expect(0x06, oid) || BytesOf(oid) != kSpnegoOid ||
      !gss.Expect(0xa0, wrapped) || !gss.AtEnd() || !wrapped.Expect(0x30, seq) || !wrapped.AtEnd())
    return std::nullopt;
  SpnegoInit r;
  while (!seq.AtEnd()) {
    uint8_t tag = 0;
    TDerReader field, value;
    if (!seq.Next(tag, field)) return std::nullopt;
    if (tag == 0xa0) {
      if (!field.Expect(0x30, value)) return std::nullopt;
      while (!value.AtEnd()) {
        TDerReader mech;
        if (!value.Expect(0x06, mech)) return std::nullopt;
        r.MechTypes.push_back(BytesOf(mech));
      }
    } else if (tag == 0xa2) {
      if (!field.Expect(0x04, value)) return std::nullopt;
      r.MechToken = BytesOf(value);
    }  // reqFlags and mechListMIC are not needed
  }
  return r;
}

}  // namespace platform::sspi
