#pragma once

#include <QByteArray>

#include <initializer_list>

namespace nerova::test {

// A fingerprint in the served form that matches when an interface address lies in `range`; its
// name is its id and its location "site-" + id.
inline QByteArray internalIpFingerprint(const char* id, const char* range)
{
    return QByteArray(R"({"fingerprintId":")") + id + R"(","name":")" + id +
           R"(","locationPoint":{"locationId":"site-)" + id +
           R"("},"rules":[{"name":"LAN","conditions":[{"type":"internalIp","arguments":[{"name":"cidrRange",)" +
           R"("value":")" + range + R"("}],"rules":[],"inverted":false}]}]})";
}

// A served fingerprint file of `version` holding `fingerprints`.
inline QByteArray fingerprintFile(qint64 version, std::initializer_list<QByteArray> fingerprints)
{
    return R"({"fingerprintVersion":)" + QByteArray::number(version) +
           R"(,"createdAt":"2026-05-01T09:30:00.000Z","fingerprints":[)" + QByteArrayList(fingerprints).join(',') +
           "]}";
}

} // namespace nerova::test
