// The HTTP API and the dashboard's files, as a function from a request to a reply: the routes,
// who may call them (the access token, the Host header on a loopback listener), the JSON of the
// machines and the queue, and the actions. No sockets here; HttpFrontEnd carries the requests in
// and the replies out.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace vontal::server {

class Fleet;
class TaskQueue;

struct ApiRequest {
    QByteArray method;  // "GET", "POST", …
    QString path;       // without the query
    QString queryToken;
    bool hasQueryToken = false;
    QByteArray tokenHeader;  // X-Vontal-Token
    bool hasTokenHeader = false;
    QByteArray host;  // the Host header
    QByteArray body;
};

struct ApiReply {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;  // besides the content type
};

struct ApiOptions {
    QByteArray token;
    bool loopback = true;  // the dashboard's listener is a loopback address
    quint16 port = 0;      // the dashboard's port, as the Host header must name it
    int pollSeconds = 5;
    QString version;
};

// Bodies longer than this are refused unread.
inline constexpr qsizetype kBodyLimit = 16 * 1024;

// Equal without a timing that tells how many leading bytes matched.
bool TokensEqual(const QByteArray& given, const QByteArray& expected);
// On a loopback listener the page must have been asked for by this computer's own name for it,
// so that a page of another site whose name was pointed at 127.0.0.1 (DNS rebinding) is refused.
bool HostAllowed(const QByteArray& host, quint16 port);

enum class Access { Allowed, BadHost, NeedsToken, BadMethod };
// Who may make the request: `action` for the POST paths, `page` for the dashboard page (which
// may carry the token as ?token=), `asset` for its script and style (the same for everyone,
// nothing in them to keep).
Access Decide(const ApiOptions& options, const ApiRequest& request, bool action, bool page, bool asset);

class ControlApi {
public:
    ControlApi(Fleet& fleet, TaskQueue& queue, ApiOptions options);

    ApiReply Handle(const ApiRequest& request);
    void SetPort(quint16 port) { options_.port = port; }

private:
    ApiReply Machines() const;
    ApiReply Page(const ApiRequest& request) const;
    ApiReply Asset(const char* name, const QByteArray& type) const;
    ApiReply MachineAction(const QString& id, const QString& action, const QByteArray& body);
    ApiReply QueueAppend(const QByteArray& body);
    ApiReply QueueDelete(const QString& index);

    Fleet& fleet_;
    TaskQueue& queue_;
    ApiOptions options_;
};

}  // namespace vontal::server
