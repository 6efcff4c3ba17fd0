#include "CatalogService.h"

#include "CatalogText.h"
#include "Log.h"
#include "Metrics.h"
#include "core/CatalogPage.h"
#include "core/Digest.h"
#include "core/Endpoints.h"
#include "core/NameRule.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QPointer>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using CatalogText::ByteRange;
using tavrel::AdminOperation;
using tavrel::AdminReply;

namespace {

namespace endpoint = tavrel::endpoint;
const QString AdminPrefix = u'/' + endpoint::ScriptsFolder;

QString escapeHtml(const QString &text)
{
    return text.toHtmlEscaped();
}

HttpResponse page(int status, const QString &title, const QString &body)
{
    return HttpResponse::html(status,
                              QStringLiteral("<!DOCTYPE html>\n<html lang=\"zh-CN\"><head>"
                                             "<meta charset=\"utf-8\"><title>%1</title></head>\n"
                                             "<body>\n<h1>%1</h1>\n%2\n</body></html>\n")
                                  .arg(escapeHtml(title), body));
}

HttpResponse uploadError(int status, const QString &reason)
{
    HttpResponse r = page(
        status, QStringLiteral("上传失败"),
        QStringLiteral("<p class=\"error\">%1</p>\n<p><a href=\"index.php\">返回上传页</a></p>")
            .arg(escapeHtml(reason)));
    return r;
}

// The request target for the access log: parameter names only, values never, because the
// administration script carries the password and security code in its query.
QByteArray redactedTarget(const HttpRequest &request)
{
    static const QStringList known{QStringLiteral("cz"),     QStringLiteral("pass"),
                                   QStringLiteral("topass"), QStringLiteral("id"),
                                   QStringLiteral("page"),   QStringLiteral("q")};
    const qsizetype question = request.target.indexOf('?');
    QByteArray out = question < 0 ? request.target : request.target.left(question);
    if (question < 0)
        return out;
    QByteArrayList names;
    int others = 0;
    for (const auto &item : request.query.queryItems(QUrl::FullyDecoded)) {
        if (known.contains(item.first))
            names.append(item.first.toLatin1());
        else
            ++others; // a name may be a piece of a password that held "&"
    }
    out += '?' + names.join('&');
    if (others > 0)
        out += "&(+" + QByteArray::number(others) + ")";
    return out;
}

HttpResponse adminAnswer(const QByteArray &body)
{
    HttpResponse r = HttpResponse::text(200, body);
    r.addHeader("Cache-Control", "no-store");
    return r;
}

HttpResponse adminReply(AdminReply answer)
{
    return adminAnswer(tavrel::adminReplyText(answer));
}

// A store that failed: nothing was changed.
HttpResponse notStored()
{
    return HttpResponse::text(500, tavrel::adminReplyText(AdminReply::NotStored));
}

bool isDigits(const QString &text)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// An address without a wrong password for this long has its checks go first.
constexpr qint64 QuietMs = 60 * 1000;

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The audit names the client as the log does: an IPv4 client on an IPv6 socket as IPv4.
Catalog::Actor actorOf(const HttpRequest &request)
{
    bool isV4 = false;
    const quint32 v4 = request.peer.toIPv4Address(&isV4);
    return {(isV4 ? QHostAddress(v4) : request.peer).toString()};
}

QByteArray pageKey(Catalog::List list, const HttpRequest &request)
{
    return QByteArray::number(int(list)) + '\n' +
           request.queryValue(QStringLiteral("page")).toUtf8() + '\n' +
           request.queryValue(QStringLiteral("q")).toUtf8();
}

} // namespace
// What each serving thread keeps: its store connection, and an object that lives on it, so that
// work done elsewhere can come back to the thread.
struct CatalogService::PerThread
{
    std::unique_ptr<Catalog> catalog = std::make_unique<Catalog>();
    QObject home;
    bool open = false;
    quint64 generation = 0; // of the store watch, when this connection was opened
    QElapsedTimer lastTry;  // of opening, so that an outage is not met with a connect per request
};

CatalogService::CatalogService(Settings settings)
    : m_settings(std::move(settings)),
      m_passwordFailures(FailureLimiter::Policy{m_settings.freeFailures}),
      m_codeFailures(FailureLimiter::Policy{m_settings.freeFailures})
{
    m_tokenKey.resize(32);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_tokenKey.data()), 8);
    m_derivations = std::make_unique<PasswordChecks>(qMax(1, QThread::idealThreadCount()),
                                                     m_settings.derivationQueue);
}

CatalogService::~CatalogService()
{
    m_derivations.reset();
}

// A connection the store watch found lost since it was opened is opened again; while the
// store stays away, at most one attempt a second per thread.
CatalogService::PerThread &CatalogService::local()
{
    if (!m_threads.hasLocalData())
        m_threads.setLocalData(new PerThread);
    PerThread *t = m_threads.localData();
    const quint64 generation = m_settings.storeGeneration ? m_settings.storeGeneration->load() : 0;
    if (t->open && t->generation != generation) {
        t->catalog = std::make_unique<Catalog>();
        t->open = false;
        t->lastTry.invalidate();
        Metrics::instance().countReconnect();
    }
    if (!t->open && (!t->lastTry.isValid() || t->lastTry.hasExpired(1000))) {
        t->lastTry.start();
        t->generation = generation;
        const StoreResult<> opened = t->catalog->open(m_settings.store, false);
        t->open = opened.ok();
        if (!t->open)
            qCWarning(lcServer).noquote() << "cannot open the database:" << opened.error();
    }
    return *t;
}

Catalog &CatalogService::catalog()
{
    return *local().catalog;
}

void CatalogService::handle(const HttpRequest &request, const HttpReply &reply)
{
    const bool read = request.method == "GET" || request.method == "HEAD";
    const QString &path = request.path;
    auto onlyRead = [&](auto &&answer) {
        if (read)
            return answer();
        HttpResponse r = HttpResponse::text(405, "only GET and HEAD are allowed here\n");
        r.addHeader("Allow", "GET, HEAD");
        r.logTarget = redactedTarget(request);
        return r;
    };

    if (path == AdminPrefix + endpoint::LatestList)
        return reply(onlyRead([&] { return listPage(request, Catalog::List::Admin); }));
    if (path == AdminPrefix + endpoint::RecommendedList)
        return reply(onlyRead([&] { return listPage(request, Catalog::List::Users); }));
    if (path == AdminPrefix + endpoint::Administration) {
        if (read)
            return examine(request, reply);
        return reply(onlyRead([] { return HttpResponse(); }));
    }
    if (path.startsWith(AdminPrefix + endpoint::ItemFiles)) {
        return reply(onlyRead([&] {
            return itemFile(request, path.mid(AdminPrefix.size() + endpoint::ItemFiles.size()));
        }));
    }
    if (path == AdminPrefix + endpoint::UploadPage) {
        HttpResponse r;
        if (request.method == "POST") {
            r = upload(request);
        } else if (read) {
            r = uploadForm();
        } else {
            r = HttpResponse::text(405, "only GET, HEAD and POST are allowed here\n");
            r.addHeader("Allow", "GET, HEAD, POST");
        }
        r.logTarget = redactedTarget(request);
        return reply(r);
    }
    if (path == endpoint::Statistics)
        return reply(onlyRead([&] { return statistics(); }));

    HttpResponse r = HttpResponse::text(404, "not found\n");
    r.logTarget = redactedTarget(request);
    reply(r);
}

HttpResponse CatalogService::listPage(const HttpRequest &request, Catalog::List list)
{
    const QByteArray key = pageKey(list, request);
    std::optional<QByteArray> bytes = m_pages.get(key);
    if (!bytes) {
        const quint64 generation = m_pages.generation();
        const StoreResult<Catalog::Page> p =
            catalog().page(list, request.queryValue(QStringLiteral("page")),
                           request.queryValue(QStringLiteral("q")), m_settings.pageSize);
        bytes = tavrel::buildCatalogPage(p->records, p->recordCount, p->pageCount);
        if (p)
            m_pages.put(key, *bytes, generation);
        else
            qCWarning(lcServer).noquote() << "cannot read a catalog page:" << p.error();
    }
    HttpResponse r = HttpResponse::text(200, *bytes);
    r.addHeader("Cache-Control", "no-store");
    return r;
}

void CatalogService::examine(const HttpRequest &request, const HttpReply &reply)
{
    const QByteArray logTarget = redactedTarget(request);
    const std::optional<AdminOperation> operation =
        tavrel::adminOperationFromCode(request.queryValue(QStringLiteral("cz")));
    if (!operation) {
        HttpResponse r = HttpResponse::text(400, tavrel::adminReplyText(AdminReply::WrongPassword));
        r.logTarget = logTarget;
        return reply(r);
    }
    checkPassword(request, [this, request, reply, logTarget, op = *operation](Check check) {
        HttpResponse r;
        if (check == Check::Accepted) {
            r = authorised(request, op);
        } else if (check == Check::Busy) {
            Metrics::instance().countRefusal(Metrics::Refusal::PasswordQueue);
            r = HttpResponse::text(503, "too many password checks at once; try again shortly\n");
            r.addHeader("Retry-After", "1");
        } else if (op == AdminOperation::ListAll || op == AdminOperation::ListPending)
            r = adminAnswer(tavrel::buildCatalogPage({}, 0, 0));
        else
            r = adminReply(AdminReply::WrongPassword);
        r.logTarget = logTarget;
        reply(r);
    });
}

HttpResponse CatalogService::authorised(const HttpRequest &request, AdminOperation operation)
{
    switch (operation) {
    case AdminOperation::CheckPassword:
        return adminReply(AdminReply::Accepted);
    case AdminOperation::ChangePassword:
        return changePassword(request.queryValue(QStringLiteral("topass")), actorOf(request));
    case AdminOperation::ListAll:
        return listPage(request, Catalog::List::All);
    case AdminOperation::ListPending:
        return listPage(request, Catalog::List::Pending);
    case AdminOperation::Approve:
    case AdminOperation::Delete:
        return moderate(operation, request.queryValue(QStringLiteral("id")), actorOf(request));
    case AdminOperation::ReadSecurityCode:
        return adminAnswer(catalog().securityCode()->toUtf8());
    case AdminOperation::SetSecurityCode:
        return changeSecurityCode(request.queryValue(QStringLiteral("topass")), actorOf(request));
    }
    return HttpResponse::text(400, tavrel::adminReplyText(AdminReply::WrongPassword));
}

// The stored digest, read again after every change to the catalogue, by any instance.
Catalog::PasswordHash CatalogService::passwordHash()
{
    const quint64 generation = m_pages.generation();
    {
        QMutexLocker lock(&m_mutex);
        if (m_storedHashGeneration == generation && m_storedHash.isValid())
            return m_storedHash;
    }
    const Catalog::PasswordHash stored = *catalog().passwordHash();
    QMutexLocker lock(&m_mutex);
    m_storedHash = stored;
    m_storedHashGeneration = generation;
    return stored;
}

QByteArray CatalogService::rememberedToken(const QString &password) const
{
    return QMessageAuthenticationCode::hash(password.toUtf8(), m_tokenKey,
                                            QCryptographicHash::Sha256);
}

// Judges the administrator password. A peer past its free failures is refused without a
// check; the slow derivation runs off this thread, at most a few at a time per peer, in fair
// turns with other peers' (see PasswordChecks); the verdict comes back on this thread.
void CatalogService::checkPassword(const HttpRequest &request, const Verdict &verdict)
{
    const QHostAddress address = request.peer;
    if (m_passwordFailures.isBlocked(address, now())) {
        Metrics::instance().countRefusal(Metrics::Refusal::Password);
        return verdict(Check::Refused);
    }
    const Catalog::PasswordHash stored = passwordHash();
    if (!stored.isValid())
        return verdict(Check::Refused);
    const QString password = request.queryValue(QStringLiteral("pass"));
    const QByteArray token = rememberedToken(password);
    const QByteArray peer = FailureLimiter::peerKey(address);
    bool quiet = false; // no recent wrong password, and no check on its way: its turn comes first
    {
        QMutexLocker lock(&m_mutex);
        if (m_acceptedForHash == stored.hash &&
            CatalogText::constantTimeEquals(token, m_acceptedToken))
            return verdict(Check::Accepted);
        int &deriving = m_derivingPerPeer[peer];
        if (deriving >= m_settings.derivationsPerPeer) {
            Metrics::instance().countRefusal(Metrics::Refusal::Derivations);
            return verdict(Check::Refused); // one client may not queue up derivations
        }
        quiet = deriving++ == 0;
    }
    quiet = quiet && !m_passwordFailures.failedSince(address, now() - QuietMs);
    // Back on this thread with the outcome; the peer's place is given back first.
    QPointer<QObject> home(&local().home);
    auto conclude = [=, this](Check check, bool derived) {
        QMetaObject::invokeMethod(home.data(), [=, this] {
            {
                QMutexLocker lock(&m_mutex);
                if (--m_derivingPerPeer[peer] <= 0)
                    m_derivingPerPeer.remove(peer);
                if (check == Check::Accepted) {
                    m_acceptedToken = token;
                    m_acceptedForHash = stored.hash;
                }
            }
            if (check == Check::Accepted) {
                m_passwordFailures.succeeded(address);
            } else if (check == Check::Refused && derived) {
                const QString held = m_passwordFailures.failed(address, now());
                if (!held.isEmpty())
                    qCWarning(lcServer,
                              "%s: repeated wrong administrator passwords; refusing for a while",
                              qPrintable(held));
            }
            verdict(check);
        });
    };
    const bool queued = m_derivations->submit(
        peer, quiet,
        [=, this] {
            // Its address, or its network, may have started to wait while this one queued.
            if (m_passwordFailures.isBlocked(address, now()))
                return conclude(Check::Refused, false);
            const QByteArray derived = PasswordChecks::pbkdf2Sha256(
                password.toUtf8(), stored.salt, stored.iterations, int(stored.hash.size()));
            conclude(CatalogText::constantTimeEquals(derived, stored.hash) ? Check::Accepted
                                                                           : Check::Refused,
                     true);
        },
        [=] { conclude(Check::Busy, false); });
    if (!queued)
        conclude(Check::Busy, false);
}

HttpResponse CatalogService::changePassword(const QString &next, const Catalog::Actor &actor)
{
    if (next.isEmpty() || next.size() > 256 || !tavrel::isCleanField(next))
        return adminReply(AdminReply::BadValue);
    if (!catalog().setPassword(next, actor))
        return notStored();
    m_pages.invalidate(); // and with it the stored digest read last
    return adminReply(AdminReply::Accepted);
}

HttpResponse CatalogService::changeSecurityCode(const QString &next, const Catalog::Actor &actor)
{
    if (!CatalogText::isAcceptableSecurityCode(next))
        return adminReply(AdminReply::BadValue);
    return catalog().setSecurityCode(next, actor) ? adminReply(AdminReply::Accepted) : notStored();
}

// Approving an approved item and deleting a deleted one are done already: the client's HTTP
// stack may send the same request twice.
HttpResponse CatalogService::moderate(AdminOperation operation, const QString &idText,
                                      const Catalog::Actor &actor)
{
    if (!isDigits(idText))
        return adminReply(AdminReply::BadValue);
    const qint64 id = idText.toLongLong();
    StoreResult<Catalog::Change> result;
    if (operation == AdminOperation::Approve) {
        result = catalog().approve(id, actor);
    } else {
        QString fileName;
        result = catalog().remove(id, &fileName, actor);
        // The row is gone for good; the file follows it. A file left behind is harmless.
        if (result && *result == Catalog::Change::Done && CatalogText::isPlainFileName(fileName))
            QFile::remove(QDir(m_settings.upDir).filePath(fileName));
    }
    if (!result)
        return notStored();
    if (*result == Catalog::Change::Done)
        m_pages.invalidate();
    return adminReply(*result == Catalog::Change::NotFound ? AdminReply::NoSuchItem
                                                           : AdminReply::Accepted);
}

HttpResponse CatalogService::itemFile(const HttpRequest &request, const QString &name)
{
    if (!CatalogText::isPlainFileName(name))
        return HttpResponse::text(400, "bad file name\n");
    const QFileInfo info(QDir(m_settings.upDir).filePath(name));
    if (!info.isFile())
        return HttpResponse::text(404, "no such file\n");

    // Whatever an uploader put in it, a file is a download: never a page, script or image
    // on the catalogue's own site.
    HttpResponse r;
    r.contentType = "application/octet-stream";
    r.addHeader("Content-Disposition", "attachment");
    r.addHeader("Content-Security-Policy", "sandbox");
    // The digest of the whole file, on every answer, a range too: clients check what they
    // joined against it. A file whose digest is not known yet (or a store that fails to say)
    // goes without, as from a plain static server.
    const StoreResult<QByteArray> digest = catalog().fileDigest(name);
    if (digest && !digest->isEmpty())
        r.addHeader("Repr-Digest", tavrel::reprDigestField(*digest));
    if (!m_settings.accelRedirect.isEmpty()) {
        // The proxy in front sends the file itself, ranges included.
        r.addHeader("X-Accel-Redirect",
                    m_settings.accelRedirect.toUtf8() + name.toUtf8().toPercentEncoding());
        return r;
    }
    const qint64 size = info.size();
    r.addHeader("Accept-Ranges", "bytes");
    // A client that resumes names the file it began with; a file changed meanwhile goes whole.
    const QByteArray etag = CatalogText::entityTag(size, info.lastModified());
    const QByteArray lastModified = CatalogText::httpDate(info.lastModified());
    r.addHeader("ETag", etag);
    r.addHeader("Last-Modified", lastModified);
    const ByteRange range =
        CatalogText::ifRangeHolds(request.header("if-range"), etag, lastModified)
            ? CatalogText::parseRange(request.header("range"), size)
            : ByteRange{};
    if (range.kind == ByteRange::Unsatisfiable) {
        r.status = 416;
        r.body = "range not satisfiable\n";
        r.addHeader("Content-Range", "bytes */" + QByteArray::number(size));
        return r;
    }
    r.filePath = info.filePath();
    if (range.kind == ByteRange::Partial) {
        r.status = 206;
        r.fileOffset = range.first;
        r.fileLength = range.last - range.first + 1;
        r.addHeader("Content-Range", "bytes " + QByteArray::number(range.first) + '-' +
                                         QByteArray::number(range.last) + '/' +
                                         QByteArray::number(size));
    } else {
        r.fileOffset = 0;
        r.fileLength = size;
    }
    return r;
}

HttpResponse CatalogService::uploadForm()
{
    const QString form =
        QStringLiteral(
            "<form method=\"post\" action=\"index.php\" enctype=\"multipart/form-data\">\n"
            "<p><label>软件分类 <input type=\"text\" name=\"category\" maxlength=\"64\" "
            "required></label></p>\n"
            "<p><label>软件标题 <input type=\"text\" name=\"title\" maxlength=\"200\" "
            "required></label></p>\n"
            "<p><label>授权方式 <input type=\"text\" name=\"licence\" maxlength=\"64\" "
            "list=\"licences\" required></label>\n"
            "<datalist id=\"licences\"><option value=\"免费\"><option value=\"共享\"><option "
            "value=\"开源\"></datalist></p>\n"
            "<p><label>文件 <input type=\"file\" name=\"file\" required></label> (最大 %1 "
            "字节)</p>\n"
            "<p><label>安全码 <input type=\"password\" name=\"code\" required></label></p>\n"
            "<p><button type=\"submit\">上传</button></p>\n"
            "</form>")
            .arg(m_settings.maxUploadSize);
    return page(200, QStringLiteral("上传外挂"), form);
}

// A name of at most 200 characters and 255 bytes in UTF-8 (what a file system takes) keeps
// the name "stem-N.ext" that a taken one gets within the same bounds.
QString CatalogService::uniqueFileName(const QString &wanted)
{
    const QDir up(m_settings.upDir);
    const qsizetype dot = wanted.lastIndexOf(u'.');
    QString stem = dot > 0 ? wanted.left(dot) : wanted;
    const QString suffix = dot > 0 ? wanted.mid(dot) : QString();
    QString name = wanted;
    auto taken = [&](const QString &candidate) {
        const StoreResult<bool> inStore = catalog().fileNameTaken(candidate);
        return up.exists(candidate) || !inStore || *inStore;
    };
    for (int n = 2; taken(name); ++n) {
        if (n > 1000)
            return QString(); // the database is failing, or someone is filling the folder
        const QString tail = u'-' + QString::number(n) + suffix;
        while (!stem.isEmpty() && !CatalogText::isPlainFileName(stem + tail)) {
            stem.chop(1);
            if (!stem.isEmpty() && stem.back().isHighSurrogate())
                stem.chop(1);
        }
        if (stem.isEmpty())
            return QString();
        name = stem + tail;
    }
    return name;
}

HttpResponse CatalogService::upload(const HttpRequest &request)
{
    if (request.bodyTooLarge) {
        HttpResponse r =
            uploadError(413, QStringLiteral("文件超过大小限制（最大 %1 字节），没有保存任何内容。")
                                 .arg(m_settings.maxUploadSize));
        r.closeConnection = true;
        return r;
    }
    if (!request.form)
        return uploadError(400, QStringLiteral("请用上传页的表单提交（multipart/form-data）。"));
    const UploadForm &form = *request.form;
    if (!form.ok)
        return uploadError(400, QStringLiteral("表单内容不完整：%1。").arg(form.error));
    HttpResponse refused = checkUploadFields(form);
    if (refused.status != 200)
        return refused;

    // Guesses of the code are limited per peer like passwords; a peer past its free failures
    // is refused without a check.
    const QString wrongCode = QStringLiteral("安全码错误，没有保存任何内容。");
    if (m_codeFailures.isBlocked(request.peer, now())) {
        Metrics::instance().countRefusal(Metrics::Refusal::SecurityCode);
        return uploadError(403, wrongCode);
    }
    const QString stored = *catalog().securityCode();
    if (stored.isEmpty() ||
        !CatalogText::constantTimeEquals(form.fields.value(QStringLiteral("code")).toUtf8(),
                                         stored.toUtf8())) {
        const QString held = m_codeFailures.failed(request.peer, now());
        if (!held.isEmpty())
            qCWarning(lcServer, "%s: repeated wrong security codes; refusing for a while",
                      qPrintable(held));
        return uploadError(403, wrongCode);
    }
    m_codeFailures.succeeded(request.peer);
    return store(request, form);
}

HttpResponse CatalogService::checkUploadFields(const UploadForm &form)
{
    struct Field
    {
        QString key;
        QString label;
        int max;
    };
    const QList<Field> required{{QStringLiteral("category"), QStringLiteral("软件分类"), 64},
                                {QStringLiteral("title"), QStringLiteral("软件标题"), 200},
                                {QStringLiteral("licence"), QStringLiteral("授权方式"), 64}};
    for (const Field &f : required) {
        const QString value = tavrel::storedName(form.fields.value(f.key));
        if (value.isEmpty())
            return uploadError(400, QStringLiteral("缺少“%1”。").arg(f.label));
        // Titles become folder names on the client: 255 bytes is what a file system takes.
        if (value.size() > f.max || value.toUtf8().size() > 255 || !tavrel::isCleanField(value) ||
            !tavrel::isAcceptableName(value))
            return uploadError(400, QStringLiteral("“%1”太长或含有不允许的字符。").arg(f.label));
    }
    if (form.fields.value(QStringLiteral("code")).isEmpty())
        return uploadError(400, QStringLiteral("缺少安全码。"));
    if (!form.hasFile || form.fileName.isEmpty())
        return uploadError(400, QStringLiteral("缺少文件。"));
    const QString fileName = tavrel::storedName(form.fileName);
    if (!CatalogText::isPlainFileName(fileName) || !tavrel::isAcceptableName(fileName))
        return uploadError(400,
                           QStringLiteral("文件名“%1”不是一个简单的文件名（不能含路径、斜杠、"
                                          "控制字符或不可见字符，不能以点开头或超过 255 字节）。")
                               .arg(form.fileName));
    if (form.fileSize == 0)
        return uploadError(400, QStringLiteral("文件是空的。"));
    if (form.fileSize > m_settings.maxUploadSize) {
        return uploadError(413,
                           QStringLiteral("文件超过大小限制（最大 %1 字节），没有保存任何内容。")
                               .arg(m_settings.maxUploadSize));
    }
    return HttpResponse::text(200, {});
}

// The file was received into the spool folder on the item folder's file system: it is linked
// into place, never copied, and the row comes last, so a listed item always has its whole file.
// The spooled name stays until the row is stored: if the server stops in between, the next
// start finds the file by it (see main.cpp). A name taken meanwhile by another instance is
// never overwritten.
HttpResponse CatalogService::store(const HttpRequest &request, const UploadForm &form)
{
    Q_UNUSED(request);
    // Names are stored in one spelling, so two spellings of a name are taken as one.
    const QString wanted = tavrel::storedName(form.fileName);
    QString name;
    QString target;
    for (int tries = 0; tries < 5 && target.isEmpty() && form.file; ++tries) {
        name = uniqueFileName(wanted);
        if (name.isEmpty())
            break;
        const QString path = QDir(m_settings.upDir).filePath(name);
        const QByteArray from = QFile::encodeName(form.file->fileName());
        const QByteArray to = QFile::encodeName(path);
        if (::link(from.constData(), to.constData()) == 0)
            target = path;
        else if (errno == EEXIST)
            continue;
        // A file system without hard links: moved, still never over another file.
        else if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(),
                             RENAME_NOREPLACE) == 0)
            target = path;
        else if (errno != EEXIST)
            break;
    }
    if (target.isEmpty())
        return uploadError(500, QStringLiteral("服务器无法保存文件。"));

    Catalog::NewItem item;
    item.category = tavrel::storedName(form.fields.value(QStringLiteral("category")));
    item.title = tavrel::storedName(form.fields.value(QStringLiteral("title")));
    item.licence = tavrel::storedName(form.fields.value(QStringLiteral("licence")));
    item.fileName = name;
    if (!catalog().addItem(item, form.sha256)) {
        QFile::remove(target);
        return uploadError(500, QStringLiteral("服务器无法保存条目。"));
    }
    form.file->remove(); // the spooled name: the item is whole
    m_pages.invalidate();
    return page(200, QStringLiteral("上传成功"),
                QStringLiteral("<p class=\"ok\">“%1”已上传，等待管理员审核。</p>\n"
                               "<p><a href=\"index.php\">继续上传</a></p>")
                    .arg(escapeHtml(item.title)));
}

HttpResponse CatalogService::statistics()
{
    const StoreResult<qint64> visits = catalog().countVisit();
    HttpResponse r = page(
        200, QStringLiteral("访问统计"),
        !visits ? QStringLiteral("<p>暂时无法计数。</p>")
                : QStringLiteral("<p>访问次数：<span id=\"visits\">%1</span></p>").arg(*visits));
    r.addHeader("Cache-Control", "no-store");
    return r;
}
