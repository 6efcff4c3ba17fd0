#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

// The administration script "to_examine.php": its operations, the queries the client sends and
// the short replies the server gives, in one place for both sides.
namespace tavrel {

// The value of the "cz" parameter.
enum class AdminOperation {
    CheckPassword = 0,    // pass
    ChangePassword = 1,   // pass (the old one), topass (the new one)
    ListAll = 2,          // pass, then page (and q): a catalog page of every item
    ListPending = 3,      // pass, then page (and q): the items awaiting review
    Approve = 4,          // pass, id
    Delete = 5,           // pass, id
    ReadSecurityCode = 6, // pass: the code itself
    SetSecurityCode = 7,  // pass, topass (the new code)
};

// The numbers the server answers with besides a catalog page or the security code.
enum class AdminReply {
    Accepted = 0,
    WrongPassword = 1,
    BadValue = 2, // a value missing, malformed or out of bounds
    NoSuchItem = 3,
    NotStored = 4, // the store failed; nothing was changed
};

// The script name and the query up to the password, which goes in escaped so that "&", "#",
// "+", "%" or blanks in it reach the server as part of it: "to_examine.php?cz=N&pass=P".
QString adminQuery(AdminOperation operation, const QString &password);
// A further parameter for the query: "&name=" and the escaped value.
QString queryParameter(QStringView name, const QString &value);

// The operation a "cz" value names: only "0" to "7" as written; anything else is none.
std::optional<AdminOperation> adminOperationFromCode(QStringView cz);
QByteArray adminReplyText(AdminReply reply);

// How the client reads the server's answer to an operation:
//  - CheckPassword, ChangePassword, SetSecurityCode: 0 accepted, any other number rejected;
//  - ReadSecurityCode: 1 rejected, any other number accepted (the reply is the code);
//  - Approve, Delete: a number other than 0 rejected; 0, and a reply that is no number, done.
// A number is the whole reply read as a real ("0", "00", "0.0" and " 0 " are all zero).
enum class AdminVerdict { Accepted, Rejected, Unreadable };
AdminVerdict judgeAdminReply(AdminOperation operation, QStringView reply);

} // namespace tavrel
