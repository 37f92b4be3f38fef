// The WinHTTP entry points that HttpClient uses, as one table.
//
// The product always uses the real functions. Tests swap in a table whose
// entries script the stack's answers (failed sends, the user's proxy
// settings, auto-configuration results) for cases that a local stack cannot
// produce on demand. Windows only.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace vx {
namespace http {

struct WinHttpApi {
  decltype(&::WinHttpOpen) open;
  decltype(&::WinHttpSetTimeouts) setTimeouts;
  decltype(&::WinHttpCrackUrl) crackUrl;
  decltype(&::WinHttpConnect) connect;
  decltype(&::WinHttpOpenRequest) openRequest;
  decltype(&::WinHttpSetOption) setOption;
  decltype(&::WinHttpAddRequestHeaders) addRequestHeaders;
  decltype(&::WinHttpSendRequest) sendRequest;
  decltype(&::WinHttpGetIEProxyConfigForCurrentUser) getIEProxyConfigForCurrentUser;
  decltype(&::WinHttpGetProxyForUrl) getProxyForUrl;
  decltype(&::WinHttpWriteData) writeData;
  decltype(&::WinHttpReceiveResponse) receiveResponse;
  decltype(&::WinHttpQueryHeaders) queryHeaders;
  decltype(&::WinHttpQueryDataAvailable) queryDataAvailable;
  decltype(&::WinHttpReadData) readData;
  decltype(&::GlobalFree) globalFree;
};

// The real functions.
const WinHttpApi& realWinHttpApi();

// The table in use: the real one unless a test replaced it.
const WinHttpApi& winHttpApi();

// Replaces the table (nullptr restores the real one). Tests only; the table
// must outlive every request made while it is installed. Handles that the
// client closes itself go to ::WinHttpCloseHandle, so a replacement's open,
// connect and openRequest must return real handles.
void setWinHttpApiForTesting(const WinHttpApi* api);

}  // namespace http
}  // namespace vx
