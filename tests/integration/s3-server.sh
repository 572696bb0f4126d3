#!/usr/bin/env bash
# An S3 server on 127.0.0.1 for the integration tests and the benchmark:
# s3rver (npm package @20minutes/s3rver 5.0.0) run by Node, with a patch that
# makes it canonicalize requests the way Amazon S3 does, so that it verifies
# both signature versions (V2 with a Date header, V4 with path-style and
# virtual-host requests) and refuses a wrong secret key.
#
#   s3-server.sh install                    installs the package and patches it
#   s3-server.sh start DIR PORT [tls]       starts it (installs first when needed);
#                                           with "tls" over https with a self-signed
#                                           certificate (DIR/tls/cert.pem, made for
#                                           127.0.0.1, localhost and *.s3.localhost)
#   s3-server.sh stop DIR
#
# All state (data, log, pid file) is under DIR; the package is installed under
# $QUORVEL_S3RVER_PREFIX (default /opt/quorvel-s3rver), once. The access key
# and secret key are s3rver's own: S3RVER / S3RVER. Virtual-host requests go to
# BUCKET.s3.localhost:PORT (libcurl resolves every *.localhost name to the
# loopback address itself). Requests without any signature are taken as
# anonymous (s3rver has no access control). Exits non-zero with the reason on
# standard error when the server cannot start; exit 3 when Node or npm is
# missing (scripts/setup test installs them).
set -euo pipefail

PACKAGE='@20minutes/s3rver@5.0.0'
PREFIX=${QUORVEL_S3RVER_PREFIX:-/opt/quorvel-s3rver}
ENTRY=$PREFIX/run-s3rver.js
MODULE=$PREFIX/node_modules/@20minutes/s3rver/lib

die() { echo "s3-server.sh: $*" >&2; exit 1; }
# The process is there and not a zombie (exited daemons are reaped late here).
alive() { local state; state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1; [[ $state != Z* ]]; }

# The patch, applied to the installed package; each file carries the marker
# QUORVEL-S3-PATCH once patched, so applying it again changes nothing.
write_patch() {
  cat <<'PATCH'
// Makes @20minutes/s3rver 5.0.0 check signatures on requests canonicalized as
// Amazon S3 canonicalizes them (as published it rejects correct V2 requests
// signed with a Date header, and V4 requests to a bucket host or to "/bucket/").
const fs = require('fs');
const path = require('path');
const lib = process.argv[2];
const marker = 'QUORVEL-S3-PATCH';
function patch(relative, edits) {
  const file = path.join(lib, relative);
  let text = fs.readFileSync(file, 'utf8');
  if (text.includes(marker)) return;
  for (const [from, to] of edits) {
    if (!text.includes(from)) {
      console.error(`s3rver patch: ${relative} has changed (not found: ${from.slice(0, 70)})`);
      process.exit(1);
    }
    text = text.split(from).join(to);
  }
  fs.writeFileSync(file, text);
}
patch('middleware/authentication.js', [
  // V2: the Date line is the Date header (empty when x-amz-date is sent); the
  // resource is "/bucket" for a bucket host, then the path exactly as sent.
  [`      case 2:
        // S3 signing uses expiration time as timestamp
        canonicalRequest.timestamp = request.expires
        break`,
   `      case 2: // QUORVEL-S3-PATCH
        canonicalRequest.timestamp = mechanisms.queryV2
          ? request.expires
          : 'x-amz-date' in ctx.headers ? '' : ctx.get('Date')
        canonicalRequest.uri =
          (ctx.state.vhost && ctx.params.bucket ? '/' + ctx.params.bucket : '') +
          (ctx.originalUrl || ctx.url).split('?')[0]
        break`],
  // V4: the canonical URI is the path as sent, each segment decoded and
  // encoded again by RFC 3986 (no bucket added for a bucket host).
  [`      case 4:
        canonicalRequest.timestamp = request.time
        break`,
   `      case 4:
        canonicalRequest.timestamp = request.time
        canonicalRequest.uri = (ctx.originalUrl || ctx.url).split('?')[0]
          .split('/').map((segment) => encodeURIComponentRFC3986(decodeURIComponent(segment))).join('/')
        break`],
  // V4 canonical query: RFC 3986, sorted by name, then by value.
  [`            : [param, value].map(encodeURIComponent).join('=') // v4 signing requires the = be present even when there's no value
      )
      .sort()
      .join('&')`,
   `            : [param, value].map(encodeURIComponentRFC3986).join('=')
      )
      .sort((a, b) => {
        const [ka, va = ''] = a.split('='); const [kb, vb = ''] = b.split('=')
        return ka < kb ? -1 : ka > kb ? 1 : va < vb ? -1 : va > vb ? 1 : 0
      })
      .join('&')`],
]);
// V4 canonical headers: values trimmed, inner runs of spaces made one.
patch('signature/v4.js', [
  ["    .map((header) => `${header}:${canonicalRequest.headers[header]}\\n`)",
   "    .map((header) => `${header}:${String(canonicalRequest.headers[header] ?? '').trim().replace(/ +/g, ' ')}\\n`) // QUORVEL-S3-PATCH"],
]);
// x-amz-copy-source is percent-encoded by clients: decoded whole (decodeURI
// leaves %2B, %3D, %26 ... as they are).
patch('controllers/object.js', [
  ["decodeURI(ctx.headers['x-amz-copy-source'])",
   "decodeURIComponent(String(ctx.headers['x-amz-copy-source']).split('?')[0]) /* QUORVEL-S3-PATCH */"],
]);
PATCH
}

install() {
  command -v node >/dev/null && command -v npm >/dev/null || { echo "s3-server.sh: node and npm are needed (scripts/setup test)" >&2; exit 3; }
  if [[ ! -s $PREFIX/.installed || $(cat "$PREFIX/.installed") != "$PACKAGE patched" ]]; then
    mkdir -p "$PREFIX"
    [[ -s $PREFIX/package.json ]] || echo '{"name":"quorvel-s3rver","private":true}' > "$PREFIX/package.json"
    if [[ ! -d $MODULE ]]; then
      # The package's engines field asks for a newer Node than Debian's; it runs on 18 and 20.
      (cd "$PREFIX" && npm install --no-audit --no-fund --loglevel=error --engine-strict=false "$PACKAGE" >&2) ||
        die "npm could not install $PACKAGE"
    fi
    # The package ships no start script: its command-line module is started directly.
    cat > "$ENTRY" <<'EOF'
require('@20minutes/s3rver/lib/cli.js').parseAsync(process.argv)
  .catch((error) => { console.error(error); process.exit(1); });
EOF
    write_patch > "$PREFIX/patch-s3rver.js"
    node "$PREFIX/patch-s3rver.js" "$MODULE" || die "patching s3rver failed"
    echo "$PACKAGE patched" > "$PREFIX/.installed"
  fi
}

start() {
  local dir=$1 port=$2 tls=${3:-} scheme=http
  mkdir -p "$dir/data"
  dir=$(cd "$dir" && pwd)
  if [[ -s $dir/s3rver.pid ]] && alive "$(cat "$dir/s3rver.pid")"; then return 0; fi
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && die "127.0.0.1:$port is in use"
  install
  # An upload cut off by the server's end leaves no object on S3; s3rver
  # leaves the bytes it had, with no metadata or with a metadata file cut
  # short, and then fails every listing of the bucket (500). Such remains
  # are removed before it starts.
  python3 - "$dir/data" <<'EOF'
import json, os, sys
for root, _, names in os.walk(sys.argv[1]):
    for name in names:
        if not name.endswith('._S3rver_object'):
            continue
        base = os.path.join(root, name[:-len('._S3rver_object')])
        try:
            with open(base + '._S3rver_metadata.json') as metadata:
                json.load(metadata)
        except (OSError, ValueError):
            for suffix in ('._S3rver_object', '._S3rver_object.md5', '._S3rver_metadata.json'):
                try:
                    os.remove(base + suffix)
                except OSError:
                    pass
EOF
  local options=()
  if [[ $tls == tls ]]; then
    scheme=https
    mkdir -p "$dir/tls"
    [[ -s $dir/tls/cert.pem ]] ||
      openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=127.0.0.1" \
        -addext "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:s3.localhost,DNS:*.s3.localhost" \
        -addext "basicConstraints=critical,CA:FALSE" -addext "extendedKeyUsage=serverAuth" \
        -keyout "$dir/tls/key.pem" -out "$dir/tls/cert.pem" 2>/dev/null || die "openssl could not make a certificate"
    options=(--key "$dir/tls/key.pem" --cert "$dir/tls/cert.pem")
  fi
  # Its own session: a Ctrl-C of the caller does not reach it.
  setsid node "$ENTRY" -d "$dir/data" -a 127.0.0.1 -p "$port" --service-endpoint localhost "${options[@]}" \
    </dev/null >>"$dir/s3rver.log" 2>&1 &
  echo $! > "$dir/s3rver.pid"
  local i
  for i in $(seq 1 200); do
    if curl -s -k -o /dev/null -m 2 "$scheme://127.0.0.1:$port/"; then return 0; fi
    alive "$(cat "$dir/s3rver.pid")" || break
    sleep 0.1
  done
  tail -20 "$dir/s3rver.log" >&2 || true
  die "s3rver did not answer on 127.0.0.1:$port"
}

stop() {
  local dir=$1 pid i
  [[ -s $dir/s3rver.pid ]] || return 0
  pid=$(cat "$dir/s3rver.pid")
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 1 50); do alive "$pid" || break; sleep 0.1; done
    alive "$pid" && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/s3rver.pid"
}

case "${1:-}" in
  install) install ;;
  start) [[ $# -eq 3 || ( $# -eq 4 && $4 == tls ) ]] || die "usage: $0 start DIR PORT [tls]"; start "$2" "$3" "${4:-}" ;;
  stop) [[ $# -eq 2 ]] || die "usage: $0 stop DIR"; stop "$2" ;;
  *) die "usage: $0 install | start DIR PORT [tls] | stop DIR" ;;
esac
