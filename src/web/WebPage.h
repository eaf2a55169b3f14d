#pragma once

namespace px {

// The web monitor's page, its style and script, and the sign-in page,
// compiled into the program so that nothing is fetched at run time.
extern const char* const kPageHtml;
extern const char* const kPageCss;
extern const char* const kPageJs;
extern const char* const kLoginHtml;

}  // namespace px
