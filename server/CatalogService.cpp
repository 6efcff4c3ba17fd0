#include "CatalogService.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include "CatalogText.h"
#include "Multipart.h"
#include "core/AdminOperation.h"
#include "core/CatalogPage.h"

using CatalogText::ByteRange;
using tavrel::AdminOperation;
using tavrel::AdminReply;

namespace {

const QString AdminPrefix = QStringLiteral("/adminphp/");

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

HttpResponse reply(AdminReply answer)
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

} // namespace

CatalogService::CatalogService(Catalog *catalog, Settings settings)
    : m_catalog(catalog), m_settings(std::move(settings))
{}

HttpResponse CatalogService::handle(const HttpRequest &request)
{
    const bool read = request.method == "GET" || request.method == "HEAD";
    const QString &path = request.path;

    auto onlyRead = [&](auto &&answer) -> HttpResponse {
        if (!read) {
            HttpResponse r = HttpResponse::text(405, "only GET and HEAD are allowed here\n");
            r.addHeader("Allow", "GET, HEAD");
            r.logTarget = redactedTarget(request);
            return r;
        }
        return answer();
    };

    if (path == AdminPrefix + QStringLiteral("admin_upload.php"))
        return onlyRead([&] { return listPage(request, Catalog::List::Admin); });
    if (path == AdminPrefix + QStringLiteral("users_upload.php"))
        return onlyRead([&] { return listPage(request, Catalog::List::Users); });
    if (path == AdminPrefix + QStringLiteral("to_examine.php")) {
        return onlyRead([&] {
            HttpResponse r = examine(request);
            r.logTarget = redactedTarget(request);
            return r;
        });
    }
    if (path.startsWith(AdminPrefix + QStringLiteral("up/")))
        return onlyRead([&] { return itemFile(request, path.mid(AdminPrefix.size() + 3)); });
    if (path == AdminPrefix + QStringLiteral("index.php")) {
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
        return r;
    }
    if (path == u"/kovitongji.asp")
        return onlyRead([&] { return statistics(); });

    HttpResponse r = HttpResponse::text(404, "not found\n");
    r.logTarget = redactedTarget(request);
    return r;
}

HttpResponse CatalogService::listPage(const HttpRequest &request, Catalog::List list)
{
    const Catalog::Page p =
        m_catalog->page(list, request.queryValue(QStringLiteral("page")),
                        request.queryValue(QStringLiteral("q")), m_settings.pageSize);
    HttpResponse r =
        HttpResponse::text(200, tavrel::buildCatalogPage(p.records, p.recordCount, p.pageCount));
    r.addHeader("Cache-Control", "no-store");
    return r;
}

HttpResponse CatalogService::examine(const HttpRequest &request)
{
    const std::optional<AdminOperation> operation =
        tavrel::adminOperationFromCode(request.queryValue(QStringLiteral("cz")));
    if (!operation)
        return HttpResponse::text(400, tavrel::adminReplyText(AdminReply::WrongPassword));
    const bool authorised = m_catalog->checkPassword(request.queryValue(QStringLiteral("pass")));
    if (*operation == AdminOperation::ListAll || *operation == AdminOperation::ListPending) {
        if (!authorised)
            return adminAnswer(tavrel::buildCatalogPage({}, 0, 0));
        const bool all = *operation == AdminOperation::ListAll;
        return listPage(request, all ? Catalog::List::All : Catalog::List::Pending);
    }
    if (!authorised)
        return reply(AdminReply::WrongPassword);
    switch (*operation) {
    case AdminOperation::CheckPassword:
        return reply(AdminReply::Accepted);
    case AdminOperation::ChangePassword:
        return changePassword(request.queryValue(QStringLiteral("topass")));
    case AdminOperation::Approve:
    case AdminOperation::Delete:
        return moderate(*operation, request.queryValue(QStringLiteral("id")));
    case AdminOperation::ReadSecurityCode:
        return adminAnswer(m_catalog->securityCode().toUtf8());
    case AdminOperation::SetSecurityCode:
        return changeSecurityCode(request.queryValue(QStringLiteral("topass")));
    case AdminOperation::ListAll:
    case AdminOperation::ListPending:
        break;
    }
    return HttpResponse::text(400, tavrel::adminReplyText(AdminReply::WrongPassword));
}

HttpResponse CatalogService::changePassword(const QString &next)
{
    if (next.isEmpty() || next.size() > 256 || !tavrel::isCleanField(next))
        return reply(AdminReply::BadValue);
    return m_catalog->setPassword(next) ? reply(AdminReply::Accepted) : notStored();
}

HttpResponse CatalogService::changeSecurityCode(const QString &next)
{
    if (!CatalogText::isAcceptableSecurityCode(next))
        return reply(AdminReply::BadValue);
    return m_catalog->setSecurityCode(next) ? reply(AdminReply::Accepted) : notStored();
}

HttpResponse CatalogService::moderate(AdminOperation operation, const QString &idText)
{
    if (!isDigits(idText))
        return reply(AdminReply::BadValue);
    const qint64 id = idText.toLongLong();
    Catalog::Result result;
    if (operation == AdminOperation::Approve) {
        result = m_catalog->approve(id);
    } else {
        QString fileName;
        result = m_catalog->remove(id, &fileName);
        // The row is gone for good; the file follows it. A file left behind is harmless.
        if (result == Catalog::Result::Done && CatalogText::isPlainFileName(fileName))
            QFile::remove(QDir(m_settings.upDir).filePath(fileName));
    }
    switch (result) {
    case Catalog::Result::Done:
        return reply(AdminReply::Accepted);
    case Catalog::Result::NotFound:
        return reply(AdminReply::NoSuchItem);
    case Catalog::Result::Failed:
        break;
    }
    return notStored();
}

HttpResponse CatalogService::itemFile(const HttpRequest &request, const QString &name)
{
    if (!CatalogText::isPlainFileName(name))
        return HttpResponse::text(400, "bad file name\n");
    const QFileInfo info(QDir(m_settings.upDir).filePath(name));
    if (!info.isFile())
        return HttpResponse::text(404, "no such file\n");

    const qint64 size = info.size();
    HttpResponse r;
    r.contentType = "application/octet-stream";
    r.addHeader("Accept-Ranges", "bytes");
    const ByteRange range = CatalogText::parseRange(request.header("range"), size);
    if (range.kind == ByteRange::Unsatisfiable) {
        r = HttpResponse::text(416, "range not satisfiable\n");
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

QString CatalogService::uniqueFileName(const QString &wanted)
{
    const QDir up(m_settings.upDir);
    const qsizetype dot = wanted.lastIndexOf(u'.');
    const QString stem = dot > 0 ? wanted.left(dot) : wanted;
    const QString suffix = dot > 0 ? wanted.mid(dot) : QString();
    QString name = wanted;
    for (int n = 2; up.exists(name) || m_catalog->fileNameTaken(name); ++n) {
        if (n > 1000)
            return QString(); // the database is failing, or someone is filling the folder
        name = stem + u'-' + QString::number(n) + suffix;
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
    const QByteArray boundary = Multipart::boundaryOf(request.header("content-type"));
    if (boundary.isEmpty())
        return uploadError(400, QStringLiteral("请用上传页的表单提交（multipart/form-data）。"));

    QByteArrayView body(request.body);
    if (request.bodyFile) {
        const uchar *mapped = request.bodyFile->map(0, request.bodySize);
        if (!mapped)
            return uploadError(500, QStringLiteral("服务器无法读取上传的内容。"));
        body = QByteArrayView(reinterpret_cast<const char *>(mapped), request.bodySize);
    }

    QList<Multipart::Part> parts;
    QString error;
    if (!Multipart::parse(body, boundary, &parts, &error))
        return uploadError(400, QStringLiteral("表单内容不完整：%1。").arg(error));

    QHash<QString, QString> fields;
    const Multipart::Part *file = nullptr;
    for (const Multipart::Part &part : std::as_const(parts)) {
        if (part.name == u"file" && part.isFile) {
            file = &part;
        } else if (!part.isFile && part.length <= 4096 && !fields.contains(part.name)) {
            fields.insert(part.name,
                          QString::fromUtf8(body.sliced(part.offset, part.length)).trimmed());
        }
    }

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
        const QString value = fields.value(f.key);
        if (value.isEmpty())
            return uploadError(400, QStringLiteral("缺少“%1”。").arg(f.label));
        if (value.size() > f.max || !tavrel::isCleanField(value))
            return uploadError(400, QStringLiteral("“%1”太长或含有不允许的字符。").arg(f.label));
    }
    if (fields.value(QStringLiteral("code")).isEmpty())
        return uploadError(400, QStringLiteral("缺少安全码。"));
    if (!file || file->fileName.isEmpty())
        return uploadError(400, QStringLiteral("缺少文件。"));
    if (!m_catalog->checkSecurityCode(fields.value(QStringLiteral("code"))))
        return uploadError(403, QStringLiteral("安全码错误，没有保存任何内容。"));
    if (!CatalogText::isPlainFileName(file->fileName))
        return uploadError(
            400, QStringLiteral("文件名“%1”不是一个简单的文件名（不能含路径、斜杠或以点开头）。")
                     .arg(file->fileName));
    if (file->length == 0)
        return uploadError(400, QStringLiteral("文件是空的。"));
    if (file->length > m_settings.maxUploadSize) {
        return uploadError(413,
                           QStringLiteral("文件超过大小限制（最大 %1 字节），没有保存任何内容。")
                               .arg(m_settings.maxUploadSize));
    }

    // Written beside the files under a temporary name, then renamed into place; the row comes
    // last, so a listed item always has its whole file.
    QTemporaryFile temp(QDir(m_settings.tempDir).filePath(QStringLiteral("upload-XXXXXX")));
    if (!temp.open() || temp.write(body.data() + file->offset, file->length) != file->length ||
        !temp.flush())
        return uploadError(500, QStringLiteral("服务器无法保存文件。"));
    const QString name = uniqueFileName(file->fileName);
    const QString target = QDir(m_settings.upDir).filePath(name);
    if (name.isEmpty() || !temp.rename(target))
        return uploadError(500, QStringLiteral("服务器无法保存文件。"));
    temp.setAutoRemove(false);

    Catalog::NewItem item;
    item.category = fields.value(QStringLiteral("category"));
    item.title = fields.value(QStringLiteral("title"));
    item.licence = fields.value(QStringLiteral("licence"));
    item.fileName = name;
    if (m_catalog->addItem(item) < 0) {
        QFile::remove(target);
        return uploadError(500, QStringLiteral("服务器无法保存条目。"));
    }
    return page(200, QStringLiteral("上传成功"),
                QStringLiteral("<p class=\"ok\">“%1”已上传，等待管理员审核。</p>\n<p><a "
                               "href=\"index.php\">继续上传</a></p>")
                    .arg(escapeHtml(item.title)));
}

HttpResponse CatalogService::statistics()
{
    const qint64 visits = m_catalog->countVisit();
    HttpResponse r = page(
        200, QStringLiteral("访问统计"),
        visits < 0 ? QStringLiteral("<p>暂时无法计数。</p>")
                   : QStringLiteral("<p>访问次数：<span id=\"visits\">%1</span></p>").arg(visits));
    r.addHeader("Cache-Control", "no-store");
    return r;
}
