#include "db/client/connect_text.h"

#include <algorithm>
#include <cctype>

#include "platform/env.h"

namespace kvr {
namespace {

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// "host[:port]/dbname" or "[v6addr][:port]/dbname".
bool ParseHostForm(std::string_view service, ConnectTarget* out) {
  size_t slash = service.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view hostPort = service.substr(0, slash);
  std::string_view db = service.substr(slash + 1);
  std::string_view host = hostPort, port;
  if (StartsWith(hostPort, "[")) {
    size_t close = hostPort.find(']');
    if (close == std::string_view::npos) return false;
    host = hostPort.substr(1, close - 1);
    std::string_view rest = hostPort.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      port = rest.substr(1);
    }
  } else {
    size_t colon = hostPort.rfind(':');
    if (colon != std::string_view::npos) {
      host = hostPort.substr(0, colon);
      port = hostPort.substr(colon + 1);
    }
  }
  if (host.empty() || db.empty() || !AllDigits(port)) return false;
  out->kind = BackendKind::PostgresHost;
  out->host = std::string(host);
  out->port = std::string(port);
  out->dbname = std::string(db);
  return true;
}

// The @ that ends the password: the one before a "postgresql://" or
// "postgres://" service (the URI may hold a user and @ itself), else the last.
size_t ServiceAt(std::string_view text) {
  size_t at = std::string_view::npos;
  for (std::string_view scheme : {"@postgresql://", "@postgres://"}) {
    at = std::min(at, text.find(scheme));
  }
  return at != std::string_view::npos ? at : text.rfind('@');
}

}  // namespace

bool ParseConnectText(std::string_view text, ConnectTarget* out, int* code, std::string* message) {
  *out = ConnectTarget();
  size_t slash = text.find('/');
  size_t at = ServiceAt(text);
  if (at == std::string_view::npos || (slash != std::string_view::npos && at < slash)) {
    // No service at all: there is nothing to connect to.
    out->login = std::string(text.substr(0, std::min(slash, text.size())));
    *code = -12154;
    *message = kMsgCannotResolve;
    return false;
  }
  out->service = std::string(text.substr(at + 1));
  if (slash == std::string_view::npos) {
    out->login = std::string(text.substr(0, at));
  } else {
    out->login = std::string(text.substr(0, slash));
    out->password = std::string(text.substr(slash + 1, at - slash - 1));
  }
  if (out->login.empty() || out->password.empty()) {
    *code = -1017;
    *message = kMsgInvalidLogin;
    return false;
  }
  std::string_view svc = out->service;
  bool ok = true;
  if (StartsWith(svc, "sqlite:")) {
    out->kind = BackendKind::Sqlite;
    out->path = NativePath(svc.substr(7));
    ok = !out->path.empty();
  } else if (StartsWith(svc, "postgresql://") || StartsWith(svc, "postgres://")) {
    out->kind = BackendKind::PostgresUri;
    out->uri = out->service;
  } else if (svc.find('/') != std::string_view::npos) {
    ok = ParseHostForm(svc, out);
  } else {
    out->kind = BackendKind::PostgresService;
    out->serviceName = out->service;
    ok = !svc.empty() && svc.find_first_of(" \t=") == std::string_view::npos;
  }
  if (!ok) {
    *code = -12154;
    *message = kMsgCannotResolve;
    return false;
  }
  *code = 0;
  message->clear();
  return true;
}

namespace {

bool WordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

}  // namespace

// Only whole occurrences are masked: a secret found inside a longer word
// ("e" in "does not exist") is part of that word, not the secret.
std::string ScrubSecret(std::string text, std::string_view secret) {
  if (secret.empty()) return text;
  size_t pos = 0;
  while ((pos = text.find(secret, pos)) != std::string::npos) {
    size_t end = pos + secret.size();
    bool inWord = (pos > 0 && WordChar(text[pos - 1]) && WordChar(secret.front())) ||
                  (end < text.size() && WordChar(text[end]) && WordChar(secret.back()));
    if (inWord) {
      pos += 1;
      continue;
    }
    text.replace(pos, secret.size(), "***");
    pos += 3;
  }
  return text;
}

std::string UriPassword(std::string_view uri) {
  size_t scheme = uri.find("://");
  if (scheme == std::string_view::npos) return {};
  size_t query = uri.find('?');
  if (query != std::string_view::npos) {
    // "...?password=xyz&..." counts as well.
    std::string_view q = uri.substr(query);
    size_t p = q.find("password=");
    if (p != std::string_view::npos && (q[p - 1] == '?' || q[p - 1] == '&')) {
      std::string_view v = q.substr(p + 9);
      return std::string(v.substr(0, v.find('&')));
    }
  }
  std::string_view rest = uri.substr(scheme + 3);
  size_t end = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, end);
  size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return {};
  std::string_view userinfo = authority.substr(0, at);
  size_t colon = userinfo.find(':');
  if (colon == std::string_view::npos) return {};
  return std::string(userinfo.substr(colon + 1));
}

}  // namespace kvr
