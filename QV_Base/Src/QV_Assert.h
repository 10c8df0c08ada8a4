// Contract-violation reports. Every fixed assertion (expression text, source name,
// line number) is declared once as an AssertSite and reported through ZB_ASSERT_AT.
// A site's line number is not the line of the file that declares it: it is a fixed part of
// the report, the number under which hosts and their logs have always known that check, and
// it stays when the code moves.
// Reports never abort: the caller decides how to go on. Tests install a listener.
#pragma once

namespace zbbase {

struct AssertSite {
  const char* expression;
  const char* source;
  int line;  // fixed report line, not a line of the declaring file
};

using AssertListener = void (*)(const AssertSite& site, void* context);

// Default report: one line on standard error. With a listener installed, the listener gets it instead.
void ReportAssertion(const AssertSite& site);
void SetAssertListener(AssertListener listener, void* context);

}  // namespace zbbase

// Reports `site` when `cond` is false; evaluates to `cond`.
#define ZB_ASSERT_AT(cond, site) ((cond) ? true : (::zbbase::ReportAssertion(site), false))
