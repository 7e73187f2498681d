"""A CDN edge stand-in for the end-to-end tests: a caching nginx on the
launcher's built-in CDN address (https://127.0.0.1:5444/orvex-patch/, the
development CDN certificate) in front of the patch front, the origin.

It behaves as the CDNs in front of the origin do:

- it caches what the origin's Cache-Control allows, for as long as it says,
  and nothing else (no proxy_cache_valid of its own): published files for a
  year, the 404 of a name not published yet for 10 s;
- on a miss it fills the cache with the whole object, whatever range the
  player asked for, and answers the range from it; later ranges of the object
  are cut from the cache. (The slice module would fetch and cache the object
  in ranges instead; a patch archive is tens of MiB, not gigabytes, and a
  whole-object fill is what most CDNs do for files of that size.) One fill
  per object at a time: the other players of a release wait for it rather
  than all going to the origin;
- the repair POST goes to the origin every time, never near the cache.

Its access log has one JSON line per request with the cache status (HIT,
MISS, EXPIRED, ...; "" for a request the cache was not asked about)."""
import json
import os
import pathlib
import pwd
import signal
import socket
import ssl
import subprocess
import time

from service import stop

NGINX = "/usr/sbin/nginx"

CONFIG = r"""# CDN edge stand-in for the end-to-end tests.
@USER@worker_processes 1;
pid nginx.pid;
error_log logs/error.log warn;

events {
    worker_connections 256;
}

http {
    client_body_temp_path temp/body;
    proxy_temp_path temp/proxy;
    fastcgi_temp_path temp/fastcgi;
    uwsgi_temp_path temp/uwsgi;
    scgi_temp_path temp/scgi;

    proxy_cache_path cache levels=1:2 keys_zone=orvex_edge:10m max_size=1g inactive=30d use_temp_path=off;

    log_format orvex_edge escape=json '{"method": "$request_method", "path": "$uri", "range": "$http_range", '
        '"status": $status, "bytes": $body_bytes_sent, "cache": "$upstream_cache_status", '
        '"upstream_status": "$upstream_status"}';

    server {
        listen @LISTEN@ ssl;
        ssl_certificate "@CERT@";
        ssl_certificate_key "@KEY@";
        ssl_protocols TLSv1.2 TLSv1.3;
        server_tokens off;
        access_log logs/access.log orvex_edge;
        client_max_body_size 16k;

        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_ssl_server_name on;
        proxy_ssl_name "@ORIGIN_NAME@";
        proxy_ssl_verify on;
        proxy_ssl_trusted_certificate "@ORIGIN_CA@";
        proxy_ssl_session_reuse on;

        location = /orvex-patch/repair-batch-v4.php {
            proxy_cache off;
            proxy_pass https://@ORIGIN@;
        }

        location /orvex-patch/ {
            proxy_cache orvex_edge;
            proxy_cache_key $uri;
            proxy_cache_lock on;
            proxy_cache_lock_timeout 60s;
            proxy_pass https://@ORIGIN@;
@EXTRA@
        }
    }
}
"""


def fill(template, values):
    for name, value in values.items():
        template = template.replace(f"@{name}@", str(value))
    return template


def render(listen, cert, key, origin, origin_ca, origin_name, user=None, extra=""):
    """The edge's nginx.conf: listen (ADDRESS:PORT) with cert and key, in front
    of origin (HOST:PORT over TLS, its certificate checked against origin_ca
    for origin_name); extra goes into the cached location as it is."""
    return fill(CONFIG, {"USER": f"user {user};\n" if user else "", "LISTEN": listen, "CERT": cert, "KEY": key,
                         "ORIGIN": origin, "ORIGIN_CA": origin_ca, "ORIGIN_NAME": origin_name, "EXTRA": extra})


class Edge:
    """The edge nginx in prefix for a with-block; requests() reads its log.
    As root its workers run as www-data, as a CDN's would not run as root."""

    def __init__(self, prefix, listen, cert, key, origin, origin_ca, origin_name="127.0.0.1", extra=""):
        self.prefix = pathlib.Path(prefix)
        self.port = int(listen.rsplit(":", 1)[1])
        user = None
        if os.geteuid() == 0:
            user = "www-data"
            pwd.getpwnam(user)  # KeyError at once rather than an nginx that does not start
        self.config = render(listen, cert, key, origin, origin_ca, origin_name, user, extra)
        self.process = None

    def __enter__(self):
        for folder in ("logs", "temp", "cache"):
            (self.prefix / folder).mkdir(parents=True, exist_ok=True)
        # The workers reach the cache and temporary folders whatever the umask.
        os.chmod(self.prefix, 0o755)
        (self.prefix / "nginx.conf").write_text(self.config)
        errors = self.prefix / "logs" / "nginx.err"
        with open(errors, "wb") as err:
            self.process = subprocess.Popen([NGINX, "-p", str(self.prefix), "-c", "nginx.conf", "-e",
                                             "logs/error.log", "-g", "daemon off;"], stdout=subprocess.DEVNULL,
                                            stderr=err, stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return self
            except OSError:
                time.sleep(0.1)
        self.__exit__(None, None, None)
        raise RuntimeError("the edge nginx did not start: " + errors.read_text(errors="replace")
                           + (self.prefix / "logs" / "error.log").read_text(errors="replace"))

    def __exit__(self, *exc):
        if self.process:
            stop([self.process], signal.SIGQUIT)
        return False

    def requests(self):
        log = self.prefix / "logs" / "access.log"
        if not log.exists():
            return []
        return [json.loads(line) for line in log.read_text().splitlines() if line]


def client_context(ca):
    context = ssl.create_default_context(cafile=str(ca))
    context.check_hostname = False
    return context
