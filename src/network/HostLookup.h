#pragma once

#include <QHostAddress>
#include <QHostInfo>
#include <QObject>

#include <climits>

namespace nerova {

// The id lookupHost yields for an address literal, which needs no lookup.
inline constexpr int literalLookupId = INT_MAX;

// Resolves `name` and runs `handler(info)` from the event loop, in `receiver`'s context, like
// QHostInfo::lookupHost; yields the id that abortHostLookup takes. An address literal is used as it
// is: Qt would also ask the resolver for the address's name, and wait as long as the resolver lets
// it. A handler must ignore a result that arrives after its lookup was aborted.
template <typename Handler>
int lookupHost(const QString& name, QObject* receiver, Handler handler)
{
    const QHostAddress literal(name);
    if (literal.isNull()) {
        return QHostInfo::lookupHost(name, receiver, std::move(handler));
    }
    QHostInfo info;
    info.setHostName(name);
    info.setAddresses({literal});
    QMetaObject::invokeMethod(
        receiver, [info, handler = std::move(handler)] { handler(info); }, Qt::QueuedConnection);
    return literalLookupId;
}

inline void abortHostLookup(int id)
{
    if (id != literalLookupId) {
        QHostInfo::abortHostLookup(id);
    }
}

} // namespace nerova
