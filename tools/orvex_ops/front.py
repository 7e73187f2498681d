#!/usr/bin/env python3
"""ORVEX patch front: the nginx configuration in front of the patch service.

Debian's nginx terminates TLS for both endpoints the launcher knows (the CDN
origin under "/orvex-patch/", the fallback endpoint under "/patch/" with its
pinned certificate), serves the published files of every release folder
itself (byte ranges, If-Range, ETag) and passes only the repair endpoint and
/healthz to the orvex-patch-service instances on loopback. Silent, slow and
oversized clients then cost nginx a connection slot, never a service thread:
nginx reads a whole request before it goes upstream and takes the whole
answer off the service before a slow reader gets it.

The configuration is a template (TEMPLATE_HTTP once, TEMPLATE_SERVER per
endpoint; `orvex-front --print-template` shows it); this command fills in the
release folder, the listeners, the certificates and the upstream instances:

  orvex-front --releases /srv/orvex/releases \\
      --cdn-listen 443 --cdn-cert /etc/ssl/orvex/cdn.pem --cdn-key /etc/ssl/orvex/cdn-key.pem \\
      --fallback-listen 203.0.113.10:5443 --fallback-cert /etc/orvex/fallback-cert.pem \\
      --fallback-key /etc/orvex/fallback-key.pem \\
      --upstream 127.0.0.1:5444 --upstream 127.0.0.1:5445 --out /etc/nginx/conf.d/orvex.conf
  nginx -t && systemctl reload nginx

writes a file for the http context of Debian's /etc/nginx/nginx.conf. With
--standalone FOLDER it writes FOLDER/nginx.conf, a whole configuration with its
pid file, logs and temporary files inside FOLDER, for an nginx of its own:

  nginx -p FOLDER -c nginx.conf -e logs/error.log

Started as root, that nginx runs its workers as www-data (--user NAME for
another account, never root), as Debian's does: the release folders must be
readable by that account, which /healthz checks by reading the newest
version's manifest through nginx itself.
"""
import argparse
import os
import pathlib
import pwd
import re
import sys

# Once per configuration, in nginx's http context.
TEMPLATE_HTTP = r"""# ORVEX patch front, written by orvex-front.
# The service instances. A repair request is idempotent (the same body always
# answers the same bytes, and nothing is stored), so a request that fails on
# one instance before any byte reached the player is sent to the next one
# (proxy_next_upstream ... non_idempotent below); an instance that failed is
# left alone for fail_timeout.
upstream orvex_service {
@UPSTREAM_SERVERS@
    keepalive 32;
    # Below gunicorn's --keep-alive 5: nginx closes an idle link first.
    keepalive_timeout 4s;
}

# Repair requests per client address: a launcher sends its segments one after
# another, so the burst is room for many players behind one address.
limit_req_zone $binary_remote_addr zone=orvex_repair:10m rate=@REPAIR_RATE@r/s;
# /healthz per client address: a monitor asks every few seconds.
limit_req_zone $binary_remote_addr zone=orvex_health:1m rate=@HEALTH_RATE@r/s;

# Requests in progress (counted from the end of their headers until the last
# byte of the answer is sent): per client address, per endpoint, and repair
# answers per address and in all, each of which may hold a temporary file of
# up to proxy_max_temp_file_size.
limit_conn_zone $binary_remote_addr zone=orvex_address:10m;
limit_conn_zone "$server_addr:$server_port" zone=orvex_endpoint:1m;
limit_conn_zone $binary_remote_addr zone=orvex_repair_address:10m;
limit_conn_zone "repair" zone=orvex_repair_total:1m;

# /healthz refused for its rate is not logged: a client asking as fast as it
# can would otherwise write the log at its pace.
map "$uri $status" $orvex_logged {
    "/healthz 429" 0;
    default 1;
}

log_format orvex_front escape=json '{"time": "$time_iso8601", "remote": "$remote_addr", '
    '"port": $server_port, "method": "$request_method", "path": "$uri", "request": "$request", '
    '"status": $status, "bytes": $body_bytes_sent, "length": "$sent_http_content_length", '
    '"complete": "$request_completion", "range": "$http_range", "seconds": $request_time, '
    '"upstream": "$upstream_addr", "upstream_status": "$upstream_status"}';
"""

# Once per endpoint (the CDN origin, the fallback endpoint).
TEMPLATE_SERVER = r"""
# The @ENDPOINT@ endpoint.
server {
    listen @LISTEN@ ssl;
    ssl_certificate "@CERT@";
    ssl_certificate_key "@KEY@";
    # The launcher speaks TLS 1.2: forward-secret key exchange and AEAD
    # ciphers only (no CBC, no SHA-1); TLS 1.3 has nothing else.
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_ciphers ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305;
    ssl_prefer_server_ciphers off;
    ssl_session_cache shared:orvex_tls:10m;
    ssl_session_timeout 1h;
    server_tokens off;
    access_log "@ACCESS_LOG@" orvex_front if=$orvex_logged;

    # A request line without a protocol is HTTP/0.9, whose answer has no
    # status or length: never one of ours.
    if ($server_protocol = "") {
        return 444;
    }

    # Timeouts are between two reads or two writes, not for a whole request:
    # a client that sends nothing for 10 s while sending its headers or body
    # is dropped, one that takes nothing of its answer for 30 s too (the
    # launcher's own receive timeout is 30 s). What bounds a client that
    # trickles is the number of requests it may have in progress.
    client_header_timeout 10s;
    client_body_timeout @BODY_TIMEOUT@;
    send_timeout 30s;
    keepalive_timeout 15s;
    reset_timedout_connection on;
    client_max_body_size 1k;
    sendfile on;
    tcp_nopush on;
    sendfile_max_chunk 512k;
    limit_conn_status 429;
    limit_conn orvex_address @ADDRESS_CONNECTIONS@;
    limit_conn orvex_endpoint @ENDPOINT_CONNECTIONS@;

    proxy_http_version 1.1;
    proxy_set_header Connection "";
    proxy_set_header Host $host;
    proxy_set_header X-Forwarded-For $remote_addr;
    proxy_set_header X-Forwarded-Proto https;
    # An instance answers a repair request's headers as soon as it has
    # checked the body and then streams from its disk: 10 s without a byte is
    # an instance that hangs, and the request goes to the next one while the
    # launcher (30 s receive timeout) still waits: at most 2 tries, the second
    # only when the first failed within 15 s, so 15 + 2 + 10 s at worst.
    proxy_connect_timeout 2s;
    proxy_send_timeout 10s;
    proxy_read_timeout @READ_TIMEOUT@;
    proxy_next_upstream error timeout http_502 http_503 http_504 non_idempotent;
    proxy_next_upstream_tries 2;
    proxy_next_upstream_timeout 15s;
    # The whole answer is taken off the service (memory, then a temporary
    # file up to one 128 MiB repair segment, the launcher's largest) whatever
    # the player's pace.
    proxy_buffering on;
    proxy_buffer_size 16k;
    proxy_buffers 16 64k;
    proxy_max_temp_file_size 128m;

    location = /healthz {
        limit_req zone=orvex_health burst=@HEALTH_BURST@ nodelay;
        limit_req_status 429;
        limit_req_log_level info;
        # Green only when nginx itself, as its worker user, reads a file of
        # the newest version: the service names it, the probe below reads it.
        auth_request /orvex-health-probe;
        error_page 401 403 404 500 502 503 504 = @unreadable;
        proxy_pass http://orvex_service;
    }

    location = /orvex-health-probe {
        internal;
        proxy_pass_request_body off;
        proxy_set_header Content-Length "";
        proxy_pass http://orvex_service/healthz/probe;
    }

    location ^~ /orvex-health-file/ {
        internal;
        alias "@RELEASES@/";
    }

    location @unreadable {
        default_type application/json;
        add_header Cache-Control "no-store" always;
        return 503 '{"status": "unreadable", "versions": []}\n';
    }

    location ~ ^/(?:orvex-patch|patch)/repair-batch-v4\.php$ {
        # The service's own limit on a repair body: the whole body is read
        # here before an instance sees it.
        client_max_body_size 16k;
        client_body_buffer_size 16k;
        limit_req zone=orvex_repair burst=@REPAIR_BURST@ nodelay;
        limit_req_status 429;
        # Each repair answer may hold a temporary file of up to 128 MiB.
        limit_conn orvex_address @ADDRESS_CONNECTIONS@;
        limit_conn orvex_endpoint @ENDPOINT_CONNECTIONS@;
        limit_conn orvex_repair_address @REPAIR_ADDRESS@;
        limit_conn orvex_repair_total @REPAIR_TOTAL@;
        add_header Cache-Control "no-store" always;
        proxy_pass http://orvex_service;
    }

    # The published files of a version: N.manifest, N.manifest.sig, N.zip and
    # metadata-v4-N.* in RELEASES/N/. A published name never changes.
    location ~ "^/(?:orvex-patch|patch)/((?:metadata-v4-)?([1-9][0-9]{0,4})\.(?:manifest|manifest\.sig|zip))$" {
        alias "@RELEASES@/$2/$1";
        types { }
        default_type application/octet-stream;
        max_ranges 1;
        add_header Cache-Control "public, max-age=31536000, immutable";
        error_page 404 = @unpublished;
    }

    # A version not published yet may be soon: a short answer to cache.
    location @unpublished {
        add_header Cache-Control "public, max-age=10" always;
        return 404;
    }

    location / {
        add_header Cache-Control "public, max-age=10" always;
        return 404;
    }
}
"""

# The whole configuration of an nginx of its own (--standalone).
TEMPLATE_STANDALONE = r"""# A whole nginx configuration for the ORVEX patch front, written by
# orvex-front --standalone. Start: nginx -p @PREFIX@ -c nginx.conf -e logs/error.log
@USER@worker_processes @WORKER_PROCESSES@;
worker_rlimit_nofile @RLIMIT@;
pid nginx.pid;
error_log logs/error.log warn;

events {
    worker_connections @WORKER_CONNECTIONS@;
}

http {
    client_body_temp_path temp/body;
    proxy_temp_path temp/proxy;
    fastcgi_temp_path temp/fastcgi;
    uwsgi_temp_path temp/uwsgi;
    scgi_temp_path temp/scgi;

@HTTP@
}
"""

UNSAFE = re.compile(r'["\\$\x00-\x1f\x7f]')
LISTEN = re.compile(r"(?:(?:[0-9]{1,3}\.){3}[0-9]{1,3}:|\[[0-9a-fA-F:.]+\]:)?[0-9]{1,5}")
UPSTREAM = re.compile(r"(?:(?:[0-9]{1,3}\.){3}[0-9]{1,3}|\[[0-9a-fA-F:.]+\]|[A-Za-z0-9.-]+):[0-9]{1,5}")


class FrontError(Exception):
    pass


def fill(template, values):
    for name, value in values.items():
        template = template.replace(f"@{name}@", str(value))
    return template


def config_path(path, what):
    """An absolute path for the configuration; nginx reads "$" as a variable
    and a quote would end the string."""
    text = str(pathlib.Path(path).resolve())
    if UNSAFE.search(text):
        raise FrontError(f"{what} {text!r}: nginx cannot take a path with a quote, backslash, '$' or control "
                         "character")
    return text


# What one client may cost by default (see docs/operating.md, "The front").
LIMITS = {
    "address_connections": 32,   # requests in progress per client address
    "endpoint_connections": 2000,  # requests in progress per endpoint
    "repair_address": 4,         # repair answers in progress per client address
    "repair_total": 32,          # repair answers in progress over both endpoints
    "health_rate": 5,            # /healthz a second per client address ...
    "health_burst": 10,          # ... and above that at once
    "read_timeout": 10,          # seconds an instance may send nothing
    "body_timeout": 10,          # seconds a client may send nothing of its request
}


def render_http(releases, endpoints, upstreams, access_log, repair_rate=2, repair_burst=40, **limits):
    """The http-context text. endpoints: (name, listen, certificate, key);
    limits: any of LIMITS, each a positive whole number."""
    if not endpoints:
        raise FrontError("no endpoint: give --cdn-listen, --fallback-listen or both")
    if not upstreams:
        raise FrontError("no service instance: give --upstream")
    for address in upstreams:
        if not UPSTREAM.fullmatch(address):
            raise FrontError(f"upstream {address!r} is not HOST:PORT")
    if not (isinstance(repair_rate, int) and repair_rate > 0 and isinstance(repair_burst, int) and repair_burst >= 0):
        raise FrontError("the repair rate is a positive number of requests a second, the burst at least 0")
    unknown = set(limits) - set(LIMITS)
    if unknown:
        raise TypeError(f"unknown limits {sorted(unknown)}")
    limits = {**LIMITS, **limits}
    for name, value in limits.items():
        highest = 65535 if "connections" in name or "repair" in name else 2 ** 31 - 1  # nginx's limits
        if not (isinstance(value, int) and 0 < value <= highest):
            raise FrontError(f"{name.replace('_', ' ')} is a positive whole number (connections below 65536), "
                             f"not {value!r}")
    releases_path = config_path(releases, "release folder")
    if not pathlib.Path(releases_path).is_dir():
        raise FrontError(f"{releases_path} is not a folder")
    text = fill(TEMPLATE_HTTP, {
        "UPSTREAM_SERVERS": "\n".join(f"    server {address} max_fails=1 fail_timeout=5s;" for address in upstreams),
        "REPAIR_RATE": repair_rate, "HEALTH_RATE": limits["health_rate"]})
    for name, listen, cert, key in endpoints:
        if not LISTEN.fullmatch(str(listen)):
            raise FrontError(f"{name} listener {listen!r} is not PORT or ADDRESS:PORT")
        for path, what in ((cert, "certificate"), (key, "key")):
            if not pathlib.Path(path).is_file():
                raise FrontError(f"{name} {what} {path} is not a file")
        text += fill(TEMPLATE_SERVER, {
            "ENDPOINT": name, "LISTEN": listen, "CERT": config_path(cert, f"{name} certificate"),
            "KEY": config_path(key, f"{name} key"), "ACCESS_LOG": access_log, "RELEASES": releases_path,
            "REPAIR_BURST": repair_burst, "ADDRESS_CONNECTIONS": limits["address_connections"],
            "ENDPOINT_CONNECTIONS": limits["endpoint_connections"], "REPAIR_ADDRESS": limits["repair_address"],
            "REPAIR_TOTAL": limits["repair_total"], "HEALTH_BURST": limits["health_burst"],
            "READ_TIMEOUT": f"{limits['read_timeout']}s", "BODY_TIMEOUT": f"{limits['body_timeout']}s"})
    return text


WORKER_USER = "www-data"  # Debian's nginx package creates it
USER_NAME = re.compile(r"[a-z_][a-z0-9_.-]{0,31}")


def worker_user(name):
    """The account nginx's workers run as when the master runs as root: any
    but root, which would read and write whatever its workers are told to."""
    if not USER_NAME.fullmatch(name or ""):
        raise FrontError(f"worker user {name!r} is not an account name")
    try:
        entry = pwd.getpwnam(name)
    except KeyError:
        raise FrontError(f"worker user {name!r} does not exist") from None
    if entry.pw_uid == 0:
        raise FrontError(f"worker user {name!r} is root: nginx's workers never run as root")
    return name


def render_standalone(prefix, http_text, worker_processes="auto", worker_connections=4096, user=None):
    """The whole configuration around http_text for `nginx -p prefix`; user:
    the workers' account (only a master started as root switches to it)."""
    if user is not None:
        worker_user(user)
    return fill(TEMPLATE_STANDALONE, {
        "PREFIX": prefix, "USER": f"user {user};\n" if user else "", "WORKER_PROCESSES": worker_processes,
        "RLIMIT": 2 * worker_connections + 64, "WORKER_CONNECTIONS": worker_connections,
        "HTTP": "\n".join("    " + line if line else line for line in http_text.splitlines())})


def write_standalone(prefix, http_text, **options):
    """Writes prefix/nginx.conf and the folders it names; returns its path."""
    prefix = pathlib.Path(config_path(prefix, "standalone folder"))
    for folder in ("logs", "temp"):
        (prefix / folder).mkdir(parents=True, exist_ok=True)
    path = prefix / "nginx.conf"
    path.write_text(render_standalone(prefix, http_text, **options))
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(prog="orvex-front", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--releases", help="the folder of release folders the service serves")
    parser.add_argument("--upstream", action="append", default=[], metavar="HOST:PORT",
                        help="an orvex-patch-service instance, plain HTTP on a private address (repeatable)")
    for name, port in (("cdn", 443), ("fallback", 5443)):
        parser.add_argument(f"--{name}-listen", metavar="[ADDRESS:]PORT",
                            help=f"where the {name} endpoint listens (usually {port})")
        parser.add_argument(f"--{name}-cert", help=f"the {name} endpoint's certificate (PEM, chain included)")
        parser.add_argument(f"--{name}-key", help=f"the {name} endpoint's private key (PEM)")
    parser.add_argument("--repair-rate", type=int, default=2,
                        help="repair requests a second per client address (default 2)")
    parser.add_argument("--repair-burst", type=int, default=40,
                        help="repair requests above the rate a client address may send at once (default 40)")
    parser.add_argument("--access-log", help="access log, one JSON line per request (default "
                        "/var/log/nginx/orvex-front.log, or logs/access.log with --standalone)")
    parser.add_argument("--out", help="write the http-context file here (default: standard output)")
    parser.add_argument("--standalone", metavar="FOLDER",
                        help="write FOLDER/nginx.conf, a whole configuration for nginx -p FOLDER")
    parser.add_argument("--worker-processes", default="auto", help="with --standalone (default auto)")
    parser.add_argument("--worker-connections", type=int, default=4096, help="with --standalone (default 4096)")
    parser.add_argument("--user", help=f"with --standalone started as root: the workers' account (default "
                        f"{WORKER_USER}; never root); it must read the release folders")
    parser.add_argument("--print-template", action="store_true", help="print the template and stop")
    args = parser.parse_args(argv)
    if args.print_template:
        sys.stdout.write(TEMPLATE_HTTP + TEMPLATE_SERVER + "\n# With --standalone, around the above:\n"
                         + TEMPLATE_STANDALONE)
        return 0
    if not args.releases:
        parser.error("--releases is required")
    if args.standalone and args.out:
        parser.error("--standalone and --out exclude each other")
    endpoints = []
    for name in ("cdn", "fallback"):
        listen, cert, key = (getattr(args, f"{name}_{part}") for part in ("listen", "cert", "key"))
        if listen or cert or key:
            if not (listen and cert and key):
                parser.error(f"--{name}-listen, --{name}-cert and --{name}-key go together")
            endpoints.append((name, listen, cert, key))
    try:
        if args.standalone:
            access_log = config_path(args.access_log or pathlib.Path(args.standalone) / "logs" / "access.log",
                                     "access log")
            http_text = render_http(args.releases, endpoints, args.upstream, access_log, args.repair_rate,
                                    args.repair_burst)
            # Started as root, nginx's master switches its workers to an
            # unprivileged account (www-data, as Debian's nginx does); a user
            # nginx runs as itself keeps its workers.
            user = worker_user(args.user or WORKER_USER) if os.geteuid() == 0 else None
            path = write_standalone(args.standalone, http_text, worker_processes=args.worker_processes,
                                    worker_connections=args.worker_connections, user=user)
            print(f"wrote {path}; start: nginx -p {path.parent} -c nginx.conf -e logs/error.log")
            return 0
        access_log = config_path(args.access_log or "/var/log/nginx/orvex-front.log", "access log")
        http_text = render_http(args.releases, endpoints, args.upstream, access_log, args.repair_rate,
                                args.repair_burst)
    except FrontError as error:
        print(f"orvex-front: {error}", file=sys.stderr)
        return 2
    if args.out:
        pathlib.Path(args.out).write_text(http_text)
    else:
        sys.stdout.write(http_text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
