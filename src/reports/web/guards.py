"""What every response and request passes: the browser's safety headers, and the token.

The headers keep a page from running script that is not the package's own (even if
some value ever escaped unescaped), from being framed by another site, and from
handing its address to other sites.

The token rule for a server reachable from other machines: every request carries the
token, as ``Authorization: Bearer TOKEN``, as the cookie this middleware sets, or once
as ``?token=TOKEN`` in the address that the server printed. That address answers with a
redirect to itself without the token, setting the cookie, so that the token leaves the
address bar and the browser's history and goes along with every later request (static
files and downloads included)."""

from __future__ import annotations

import hmac
from http.cookies import SimpleCookie
from urllib.parse import parse_qsl, urlencode

from starlette.datastructures import URL
from starlette.responses import PlainTextResponse, RedirectResponse

__all__ = ["COOKIE", "SafetyHeadersMiddleware", "TokenMiddleware"]

COOKIE = "reports_token"


_SAFETY_HEADERS = [
    (
        b"content-security-policy",
        b"default-src 'self'; img-src 'self' data:; style-src 'self' 'unsafe-inline'; "
        b"frame-ancestors 'none'; form-action 'self'; base-uri 'none'",
    ),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
]


class SafetyHeadersMiddleware:
    def __init__(self, app):
        self.app = app

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                message = {**message, "headers": [*message.get("headers", []), *_SAFETY_HEADERS]}
            await send(message)

        await self.app(scope, receive, send_with_headers)


def _same(given: str | None, token: str) -> bool:
    return given is not None and hmac.compare_digest(given.encode(), token.encode())


class TokenMiddleware:
    def __init__(self, app, *, token: str):
        if not token:
            raise ValueError("the token must not be empty")
        self.app = app
        self.token = token

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope["headers"]}
        scheme, _, credentials = headers.get("authorization", "").partition(" ")
        cookies = SimpleCookie()
        try:
            cookies.load(headers.get("cookie", ""))
        except Exception:
            cookies = SimpleCookie()
        cookie = cookies.get(COOKIE)
        if (scheme.lower() == "bearer" and _same(credentials.strip(), self.token)) or (
            cookie is not None and _same(cookie.value, self.token)
        ):
            await self.app(scope, receive, send)
            return
        query = parse_qsl(scope.get("query_string", b"").decode("latin-1"), keep_blank_values=True)
        given = [value for key, value in query if key == "token"]
        if given and _same(given[-1], self.token):
            rest = urlencode([(key, value) for key, value in query if key != "token"])
            target = URL(scope=scope).replace(query=rest)
            response = RedirectResponse(f"{target.path}?{rest}" if rest else target.path, 303)
            response.set_cookie(COOKIE, self.token, httponly=True, samesite="strict")
        else:
            response = PlainTextResponse(
                "This server needs its token: open the address it printed when it started, "
                "or send the header 'Authorization: Bearer TOKEN'.\n",
                status_code=401,
                headers={"WWW-Authenticate": "Bearer"},
            )
        await response(scope, receive, send)
