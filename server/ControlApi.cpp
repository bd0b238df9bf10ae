// The API's routes and rules.
#include "server/ControlApi.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <optional>

#include "server/Fleet.h"
#include "server/TaskQueue.h"

// The dashboard's files are a resource of this static library: registered by name, so that the
// linker keeps them.
static void RegisterWebResource() { Q_INIT_RESOURCE(web); }

namespace vontal::server {

namespace {

ApiReply Json(int status, const QJsonObject& object) {
    ApiReply reply;
    reply.status = status;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return reply;
}

ApiReply Error(int status, const QString& text) { return Json(status, {{"error", text}}); }

ApiReply Accepted() { return Json(202, {{"ok", true}}); }

// A task from a JSON body {"nFirst","nLast","kLow","kHigh"}, every field a string.
std::optional<TaskTexts> TaskFromBody(const QByteArray& body) {
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonObject o = doc.object();
    TaskTexts task;
    for (auto [name, field] : {std::pair{"nFirst", &task.nFirst}, std::pair{"nLast", &task.nLast},
                               std::pair{"kLow", &task.kLow}, std::pair{"kHigh", &task.kHigh}}) {
        const QJsonValue value = o.value(name);
        if (!value.isString()) return std::nullopt;
        *field = value.toString().toStdString();
    }
    return task;
}

QJsonObject TaskJson(const TaskTexts& task) {
    return {{"nFirst", QString::fromStdString(task.nFirst)}, {"nLast", QString::fromStdString(task.nLast)},
            {"kLow", QString::fromStdString(task.kLow)}, {"kHigh", QString::fromStdString(task.kHigh)}};
}

QByteArray HtmlAttribute(const QByteArray& text) {
    QByteArray out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

bool TokensEqual(const QByteArray& given, const QByteArray& expected) {
    // Every byte of the expected token is looked at whatever the given one holds, and the
    // lengths are compared only at the end.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char g = i < given.size() ? given[i] : 0;
        difference |= static_cast<unsigned char>(g ^ expected[i]);
    }
    return difference == 0 && !expected.isEmpty();
}

bool HostAllowed(const QByteArray& host, quint16 port) {
    const QByteArray suffix = ":" + QByteArray::number(port);
    return host == "127.0.0.1" + suffix || host.toLower() == "localhost" + suffix || host == "[::1]" + suffix;
}

Access Decide(const ApiOptions& options, const ApiRequest& request, bool action, bool page, bool asset) {
    if (options.loopback && !HostAllowed(request.host, options.port)) return Access::BadHost;
    const bool headerToken = request.hasTokenHeader && TokensEqual(request.tokenHeader, options.token);
    if (!options.loopback && !asset) {
        const bool queryToken = page && request.hasQueryToken && TokensEqual(request.queryToken.toUtf8(), options.token);
        if (!headerToken && !queryToken) return Access::NeedsToken;
    }
    if (action) {
        if (request.method != "POST") return Access::BadMethod;
        if (!headerToken) return Access::NeedsToken;
    } else if (request.method != "GET" && request.method != "HEAD") {
        return Access::BadMethod;
    }
    return Access::Allowed;
}

ControlApi::ControlApi(Fleet& fleet, TaskQueue& queue, ApiOptions options)
    : fleet_(fleet), queue_(queue), options_(std::move(options)) {
    RegisterWebResource();
}

ApiReply ControlApi::Handle(const ApiRequest& request) {
    static const QRegularExpression machineAction("^/api/machines/([^/]+)/(continue|stop|start|autostart|task)$");
    static const QRegularExpression queueDelete("^/api/queue/([^/]+)/delete$");
    const QString& path = request.path;
    const bool page = path == "/" || path == "/index.html";
    const bool asset = path == "/dashboard.js" || path == "/dashboard.css";
    const QRegularExpressionMatch onMachine = machineAction.match(path);
    const QRegularExpressionMatch onQueue = queueDelete.match(path);
    const bool action = onMachine.hasMatch() || onQueue.hasMatch() || path == "/api/queue";
    if (!page && !asset && !action && path != "/api/machines") return Error(404, "no such path");

    switch (Decide(options_, request, action, page, asset)) {
        case Access::BadHost:
            return Error(403, "the Host header does not name this server");
        case Access::NeedsToken:
            return Error(403, "the access token is missing or wrong");
        case Access::BadMethod: {
            ApiReply reply = Error(405, action ? "actions are POST requests" : "only GET here");
            reply.headers.append(qMakePair(QByteArray("Allow"), QByteArray(action ? "POST" : "GET, HEAD")));
            return reply;
        }
        case Access::Allowed:
            break;
    }
    if (request.body.size() > kBodyLimit) return Error(413, "the body is too large");

    if (page) return Page(request);
    if (path == "/dashboard.js") return Asset("dashboard.js", "text/javascript; charset=utf-8");
    if (path == "/dashboard.css") return Asset("dashboard.css", "text/css; charset=utf-8");
    if (path == "/api/machines") return Machines();
    if (onMachine.hasMatch()) return MachineAction(onMachine.captured(1), onMachine.captured(2), request.body);
    if (onQueue.hasMatch()) return QueueDelete(onQueue.captured(1));
    return QueueAppend(request.body);
}

ApiReply ControlApi::Machines() const {
    QJsonArray waiting;
    for (const TaskTexts& task : queue_.Waiting()) waiting.append(TaskJson(task));
    QJsonObject o;
    o["serverVersion"] = options_.version;
    o["time"] = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    o["pollSeconds"] = options_.pollSeconds;
    o["fleetRate"] = fleet_.FleetRate();
    o["queue"] = waiting;
    o["machines"] = fleet_.MachinesJson();
    return Json(200, o);
}

ApiReply ControlApi::Page(const ApiRequest& request) const {
    QFile file(":/web/index.html");
    if (!file.open(QIODevice::ReadOnly)) return Error(500, "the page is missing from the program");
    QByteArray html = file.readAll();
    // The page's scripts read the token from its meta tag; on another address than loopback it
    // is only given to a request that already carried it.
    const bool give = options_.loopback ||
                      (request.hasQueryToken && TokensEqual(request.queryToken.toUtf8(), options_.token));
    if (give) {
        static const QRegularExpression meta(R"((<meta\s+name="vontal-token"\s+content=")[^"]*("))");
        QString text = QString::fromUtf8(html);
        text.replace(meta, "\\1" + QString::fromLatin1(HtmlAttribute(options_.token)) + "\\2");
        html = text.toUtf8();
    }
    ApiReply reply;
    reply.contentType = "text/html; charset=utf-8";
    reply.body = html;
    reply.headers.append(qMakePair(QByteArray("X-Frame-Options"), QByteArray("DENY")));
    // Only the page's own script and style run, and it talks only to this server: a text from a
    // program that still got into the page as markup could not run or load anything.
    reply.headers.append(qMakePair(QByteArray("Content-Security-Policy"),
                                   QByteArray("default-src 'none'; script-src 'self'; style-src 'self'; "
                                              "img-src 'self' data:; connect-src 'self'; base-uri 'none'; "
                                              "form-action 'none'; frame-ancestors 'none'")));
    // The address may carry ?token=: it must not leave with a link followed from the page.
    reply.headers.append(qMakePair(QByteArray("Referrer-Policy"), QByteArray("no-referrer")));
    return reply;
}

ApiReply ControlApi::Asset(const char* name, const QByteArray& type) const {
    QFile file(QString(":/web/") + name);
    if (!file.open(QIODevice::ReadOnly)) return Error(404, "no such file");
    ApiReply reply;
    reply.contentType = type;
    reply.body = file.readAll();
    return reply;
}

ApiReply ControlApi::MachineAction(const QString& id, const QString& action, const QByteArray& body) {
    static const std::pair<const char*, Action> kActions[] = {{"continue", Action::Continue},
                                                              {"stop", Action::Stop},
                                                              {"start", Action::Start},
                                                              {"autostart", Action::Autostart},
                                                              {"task", Action::Task}};
    Action which = Action::Continue;
    for (const auto& [name, a] : kActions)
        if (action == name) which = a;
    TaskTexts task;
    if (which == Action::Task) {
        const auto parsed = TaskFromBody(body);
        if (!parsed) return Error(400, "the body must be {\"nFirst\",\"nLast\",\"kLow\",\"kHigh\"}, each a string");
        task = *parsed;
    }
    switch (fleet_.Act(id, which, task)) {
        case ActionResult::Accepted:
            return Accepted();
        case ActionResult::UnknownMachine:
            return Error(404, "no such machine");
        case ActionResult::NotEnabled:
            return Error(409, "the machine does not offer this now");
        case ActionResult::BadTask:
            return Error(400, "not a task the program can start");
    }
    return Error(500, "unreachable");
}

ApiReply ControlApi::QueueAppend(const QByteArray& body) {
    const auto task = TaskFromBody(body);
    if (!task) return Error(400, "the body must be {\"nFirst\",\"nLast\",\"kLow\",\"kHigh\"}, each a string");
    if (!TaskQueue::Valid(*task)) return Error(400, "not a task the program can start");
    if (static_cast<int>(queue_.Waiting().size() + queue_.HandedOut().size()) >= TaskQueue::kMaxTasks)
        return Error(409, "the queue is full");
    if (!queue_.Append(*task)) return Error(500, "the queue file cannot be written: " + queue_.path());
    return Accepted();
}

ApiReply ControlApi::QueueDelete(const QString& index) {
    bool number = false;
    const int i = index.toInt(&number);
    if (!number || !queue_.Remove(i)) return Error(404, "no such task in the queue");
    return Accepted();
}

}  // namespace vontal::server
