#!/usr/bin/env bash
# A WebDAV server on 127.0.0.1 for the integration tests, with all its state
# (configuration, self-signed certificate, password file, served folder, logs)
# in one folder:
#   webdav-server.sh start apache|lighttpd DIR HTTP_PORT HTTPS_PORT USER PASSWORD
#   webdav-server.sh stop DIR
# Apache (mod_dav, mod_dav_fs) asks for Basic credentials, lighttpd
# (mod_webdav) for Digest ones. Both serve DIR/data as /dav/ over http and
# https (DIR/tls/cert.pem, made for 127.0.0.1 and localhost). Apache also
# serves DIR/data/USER as /USER/, the way a hosted disk service serves each
# member's disk. The servers drop
# root and run as www-data, which owns DIR/data. Apache's access log
# (DIR/logs/access.log) ends each line with the number of earlier requests on
# the same connection. Exits non-zero, with the reason on standard error, when
# the server does not start.
set -euo pipefail

die() { echo "webdav-server.sh: $*" >&2; exit 1; }

# The process is there and not a zombie (exited daemons are reaped late here).
alive() { local state; state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1; [[ $state != Z* ]]; }
answers() { curl -s -o /dev/null -m 2 "$@"; }

start() {
  local kind=$1 dir=$2 http=$3 https=$4 user=$5 password=$6
  mkdir -p "$dir"/{data,run,logs,tls,lock,empty}
  dir=$(cd "$dir" && pwd)
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=127.0.0.1" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" -addext "basicConstraints=critical,CA:FALSE" \
    -addext "extendedKeyUsage=serverAuth" \
    -keyout "$dir/tls/key.pem" -out "$dir/tls/cert.pem" 2>/dev/null || die "openssl could not make a certificate"
  mkdir -p "$dir/data/$user"
  chown -R www-data:www-data "$dir/data" "$dir/lock" "$dir/logs"
  case "$kind" in
    apache)
      [[ -x /usr/sbin/apache2 ]] || die "apache2 is not installed (scripts/setup test)"
      htpasswd -bcB "$dir/passwords" "$user" "$password" 2>/dev/null || die "htpasswd failed"
      chmod 644 "$dir/passwords"
      local modules=/usr/lib/apache2/modules module
      {
        echo "ServerRoot \"$dir\""
        echo "ServerName 127.0.0.1"
        echo "PidFile \"$dir/run/server.pid\""
        echo "DefaultRuntimeDir \"$dir/run\""
        echo "Mutex file:$dir/run default"
        echo "ErrorLog \"$dir/logs/error.log\""
        for module in mpm_event authz_core authz_user authn_core authn_file auth_basic alias mime dir \
                      socache_shmcb ssl dav dav_fs log_config; do
          [[ $module == log_config && ! -e $modules/mod_log_config.so ]] && continue
          echo "LoadModule ${module}_module $modules/mod_${module}.so"
        done
        cat <<EOF
User www-data
Group www-data
StartServers 1
ServerLimit 2
ThreadsPerChild 16
MaxRequestWorkers 32
KeepAlive On
KeepAliveTimeout 30
TypesConfig /etc/mime.types
LogFormat "%h %u \"%r\" %>s %b %k" dav
CustomLog "$dir/logs/access.log" dav
Listen 127.0.0.1:$http
Listen 127.0.0.1:$https
SSLSessionCache "shmcb:$dir/run/ssl_scache(512000)"
DavLockDB "$dir/lock/davlock"
LimitXMLRequestBody 0
DocumentRoot "$dir/empty"
<Directory />
  Require all denied
</Directory>
Alias /dav "$dir/data"
Alias /$user "$dir/data/$user"
<Directory "$dir/data">
  Dav On
  Options None
  AllowOverride None
  DirectoryIndex disabled
  AuthType Basic
  AuthName "quorvel-test"
  AuthBasicProvider file
  AuthUserFile "$dir/passwords"
  Require valid-user
</Directory>
<VirtualHost 127.0.0.1:$https>
  SSLEngine on
  SSLCertificateFile "$dir/tls/cert.pem"
  SSLCertificateKeyFile "$dir/tls/key.pem"
</VirtualHost>
EOF
      } >"$dir/server.conf"
      /usr/sbin/apache2 -f "$dir/server.conf" -k start || die "apache2 did not start: $(tail -5 "$dir/logs/error.log" 2>/dev/null)"
      ;;
    lighttpd)
      [[ -x /usr/sbin/lighttpd && -e /usr/lib/lighttpd/mod_webdav.so ]] \
        || die "lighttpd with mod_webdav is not installed (scripts/setup test)"
      printf '%s:%s\n' "$user" "$password" >"$dir/passwords"
      chown www-data "$dir/passwords"
      chmod 600 "$dir/passwords"
      cat >"$dir/server.conf" <<EOF
server.modules = ( "mod_access", "mod_alias", "mod_auth", "mod_authn_file", "mod_webdav", "mod_openssl", "mod_accesslog" )
server.document-root = "$dir/empty"
alias.url = ( "/dav/" => "$dir/data/" )
server.bind = "127.0.0.1"
server.port = $http
server.username = "www-data"
server.groupname = "www-data"
server.pid-file = "$dir/run/server.pid"
server.errorlog = "$dir/logs/error.log"
accesslog.filename = "$dir/logs/access.log"
server.max-request-size = 0
mimetype.assign = ( "" => "application/octet-stream" )
\$SERVER["socket"] == "127.0.0.1:$https" {
  ssl.engine = "enable"
  ssl.pemfile = "$dir/tls/cert.pem"
  ssl.privkey = "$dir/tls/key.pem"
}
auth.backend = "plain"
auth.backend.plain.userfile = "$dir/passwords"
\$HTTP["url"] =^ "/dav/" {
  webdav.activate = "enable"
  webdav.is-readonly = "disable"
  webdav.sqlite-db-name = "$dir/lock/webdav.sqlite"
  auth.require = ( "" => ( "method" => "digest", "realm" => "quorvel-test", "require" => "valid-user" ) )
}
EOF
      /usr/sbin/lighttpd -f "$dir/server.conf" || die "lighttpd did not start: $(tail -5 "$dir/logs/error.log" 2>/dev/null)"
      ;;
    *) die "unknown server kind \"$kind\" (apache or lighttpd)" ;;
  esac
  local i
  for i in $(seq 1 100); do
    if answers "http://127.0.0.1:$http/dav/" && answers "https://127.0.0.1:$https/dav/" -k; then
      return 0
    fi
    sleep 0.1
  done
  die "$kind does not answer on 127.0.0.1:$http and :$https: $(tail -5 "$dir/logs/error.log" 2>/dev/null)"
}

stop() {
  local dir=$1 pid i
  [[ -s $dir/run/server.pid ]] || return 0
  pid=$(cat "$dir/run/server.pid")
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 1 100); do alive "$pid" || break; sleep 0.1; done
  if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -f "$dir/run/server.pid"
}

case "${1:-}" in
  start) [[ $# -eq 7 ]] || die "usage: $0 start apache|lighttpd DIR HTTP_PORT HTTPS_PORT USER PASSWORD"; start "${@:2}" ;;
  stop) [[ $# -eq 2 ]] || die "usage: $0 stop DIR"; stop "$2" ;;
  *) die "usage: $0 start|stop ..." ;;
esac
