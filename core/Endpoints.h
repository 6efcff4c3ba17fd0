#pragma once

#include <QLatin1StringView>

// The catalogue server's addresses, for the client that asks and for catalogd that answers.
// The scripts live in one folder; a client's server address ends with it ("http://host/adminphp/").
namespace tavrel::endpoint {

inline constexpr QLatin1StringView ScriptsFolder("adminphp/");
inline constexpr QLatin1StringView LatestList("admin_upload.php");
inline constexpr QLatin1StringView RecommendedList("users_upload.php");
inline constexpr QLatin1StringView Administration("to_examine.php");
inline constexpr QLatin1StringView UploadPage("index.php");
inline constexpr QLatin1StringView ItemFiles("up/"); // + the item's file name
// At the root of the web host, outside the scripts folder.
inline constexpr QLatin1StringView Statistics("/kovitongji.asp");

} // namespace tavrel::endpoint
