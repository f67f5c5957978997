#!/usr/bin/env bash
# The PKCS#11 module with the programs that use it: pkcs11-tool (objects,
# RSA and ECDSA signatures, its own --test, password-protected keys), GnuTLS
# p11tool, and TLS client authentication with RSA and EC keys against
# `openssl s_server -Verify 1` by openssl s_client (pkcs11 engine), curl
# (pkcs11: URI) and headless Chromium (NSS database with the module,
# certificate auto-selected; protected keys through the module's pin-file).
#
#   pkcs11_peers_test.sh BUILD_DIR SOURCE_DIR
#
# Every step is bounded in time; everything listens on loopback only.
set -Eeuo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
module="$build/libtarvenholm-pkcs11.so"
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvenholm-pkcs11.XXXXXX")
server_pid=
policy=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$policy" ] && rm -f "$policy"
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "FAILED at: $BASH_COMMAND (line $LINENO)" >&2' ERR

step_seconds=${PKCS11_STEP_SECONDS:-120}
bounded() { timeout --kill-after=10 "$step_seconds" "$@"; }
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
started=$SECONDS
echo "== enrol two keys: 'plain' without a password, 'locked' with one"
export TARVENHOLM_HOME="$work/home"
unset TARVENHOLM_MACHINE_HIVE TARVENHOLM_KEY_PASSWORD
printf 'locked secret\n' > "$work/password"
host() { bounded "$build/tarvenholm" --lang en --quiet --batch "$@"; }
bash "$source_dir/scripts/test-ca" "$work/ca" init
enrol() {  # NAME genreq|rsa:N|ec:CURVE [host options]: genreq's key, or one made by `request --key`
  local name=$1 key=$2
  shift 2
  if [ "$key" = genreq ]; then
    host "$@" genreq --names "2.5.4.3=$name;2.5.4.10=Tarvenholm Test" > "$work/$name.req"
  else
    host "$@" request --subject "CN=$name,O=Tarvenholm Test" --key "$key" --out "$work/$name.req"
  fi
  bash "$source_dir/scripts/test-ca" "$work/ca" issue "$work/$name.req" "$work/$name.p7b" --der
  cp "$work/ca/user.pem" "$work/$name.pem"
  [ "$(host --trust-new-roots setcert "$work/$name.p7b")" = 2000 ] || fail "setcert of $name"
  openssl x509 -in "$work/$name.pem" -noout -pubkey > "$work/$name.pub"
  # CKA_ID: the key identifier, the SHA-1 of the DER SubjectPublicKeyInfo.
  openssl pkey -pubin -in "$work/$name.pub" -outform DER | sha1sum | cut -d' ' -f1 > "$work/$name.id"
}
enrol plain genreq
cat "$work/ca/root.pem" "$work/ca/intermediate.pem" > "$work/chain.pem"
# curl sends the chain that follows the certificate in its file.
cat "$work/plain.pem" "$work/ca/intermediate.pem" > "$work/plain-chain.pem"
p11() { bounded pkcs11-tool --module "$module" "$@"; }

echo "== pkcs11-tool --sign without login (no key has a password yet), verified with the certificate's public key"
printf 'message to sign' > "$work/message"
for mechanism in SHA256-RSA-PKCS SHA384-RSA-PKCS SHA512-RSA-PKCS SHA256-RSA-PKCS-PSS; do
  p11 --sign --id "$(cat "$work/plain.id")" --mechanism "$mechanism" --input-file "$work/message" --output-file "$work/signature"
  case $mechanism in
    *PSS) options=(-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:-1) ;;
    *) options=() ;;
  esac
  digest=$(echo "$mechanism" | sed 's/-.*//' | tr 'A-Z' 'a-z')
  openssl dgst -"$digest" -verify "$work/plain.pub" "${options[@]}" -signature "$work/signature" "$work/message" \
    || fail "$mechanism signature does not verify"
done

echo "== a TLS server that requires a client certificate from the test root"
openssl req -new -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout "$work/server.key" \
  -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > "$work/server.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca/root.pem" -CAkey "$work/ca/root.key" -CAcreateserial \
  -days 30 -extfile "$work/server.ext" -out "$work/server.pem" 2>/dev/null
port=$((20000 + RANDOM % 20000))
start_server() {  # TLS version option
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  openssl s_server -accept "127.0.0.1:$port" -cert "$work/server.pem" -key "$work/server.key" \
    -Verify 1 -verify_return_error -CAfile "$work/ca/root.pem" -chainCAfile "$work/chain.pem" \
    -www "$1" > "$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  fail "s_server did not start"
}
echo "== tarvenholm nssdb add: NSS sees the token's certificates"
HOME="$work/user" host nssdb add  # the default database, ~/.pki/nssdb
bounded modutil -list Tarvenholm -dbdir "sql:$work/user/.pki/nssdb" | grep -q "libtarvenholm-pkcs11.so" || fail "modutil does not list the module"
host nssdb add --dbdir "$work/user/.pki/nssdb"  # a second time: already there, still a success
token=$(bounded p11tool --provider "$module" --list-tokens 2>/dev/null | sed -n 's/^\tLabel: //p' | head -n1)
bounded certutil -L -d "sql:$work/user/.pki/nssdb" -h "$token" > "$work/nss.txt"
cat "$work/nss.txt"
grep -q "$token:plain" "$work/nss.txt" || fail "NSS does not see the certificate 'plain'"

# Chromium trusts the test root for the server's certificate.
certutil -A -d "sql:$work/user/.pki/nssdb" -n "Tarvenholm Test Root" -t "C,," -i "$work/ca/root.pem"

echo "== headless Chromium with the module in its NSS database (~/.pki/nssdb), the certificate auto-selected"
# The policy that selects the certificate can only be read from the machine's
# policy directory: written for the test and removed at its end.
policy_dir=/etc/chromium/policies/managed
if mkdir -p "$policy_dir" 2>/dev/null && [ -w "$policy_dir" ]; then
  policy="$policy_dir/tarvenholm-pkcs11-test.json"
  # One policy file for the whole machine: a second checkout running this
  # test waits here instead of pointing Chromium at its own port.
  exec 9> /tmp/tarvenholm-chromium-policy.lock
  flock 9
fi
chromium_authenticates() {  # HOME NAME VERSION: Chromium reads HOME/.pki/nssdb, the policy selects CN=NAME
  local home=$1 name=$2 version=$3
  printf '{"AutoSelectCertificateForUrls": ["{\\"pattern\\":\\"https://127.0.0.1:%s\\",\\"filter\\":{\\"SUBJECT\\":{\\"CN\\":\\"%s\\"}}}"]}\n' \
    "$port" "$name" > "$policy"
  start_server "$version"
  HOME="$home" bounded chromium --headless --no-sandbox --disable-gpu --no-first-run \
    --user-data-dir="$work/chromium-$name$version" --dump-dom "https://127.0.0.1:$port/" \
    > "$work/chromium.html" 2> "$work/chromium.log" || true
  grep -q "CN *= *$name" "$work/server.log" || { tail -20 "$work/chromium.log"; fail "Chromium $version: the server did not see '$name'"; }
  grep -q "Ciphers supported" "$work/chromium.html" || fail "Chromium $version: no page"
}
if [ -n "$policy" ]; then
  chromium_authenticates "$work/user" plain -tls1_2
  chromium_authenticates "$work/user" plain -tls1_3
else
  echo "SKIPPED: $policy_dir is not writable, so no certificate can be auto-selected"
fi

enrol locked genreq --password-file "$work/password"

echo "== pkcs11-tool --list-objects: the MY certificates, their keys, CA and ROOT"
p11 --list-objects > "$work/objects.txt" 2>&1
count() { grep -c "^$1" "$work/objects.txt" || true; }
# Without login: both certificates (MY), intermediate (CA), root (ROOT); the
# unprotected key's private and public key; the protected key's public key.
[ "$(count 'Certificate Object')" = 4 ] || fail "expected 4 certificates"
[ "$(count 'Private Key Object')" = 1 ] || fail "expected 1 private key before login"
[ "$(count 'Public Key Object')" = 2 ] || fail "expected 2 public keys"
p11 --login --pin 'locked secret' --list-objects > "$work/objects.txt" 2>&1
[ "$(count 'Private Key Object')" = 2 ] || fail "expected 2 private keys after login"
grep -q "label: *plain" "$work/objects.txt" || fail "no object labelled with the subject's CN"

echo "== a password-protected key: refused without its password, usable with it"
if p11 --sign --id "$(cat "$work/locked.id")" --mechanism SHA256-RSA-PKCS --input-file "$work/message" \
     --output-file "$work/signature" > "$work/refused.txt" 2>&1; then
  fail "the protected key signed without its password"
fi
if p11 --login --pin 'wrong' --sign --id "$(cat "$work/locked.id")" --mechanism SHA256-RSA-PKCS --input-file "$work/message" \
     --output-file "$work/signature" > "$work/refused.txt" 2>&1; then
  fail "the protected key signed with a wrong password"
fi
grep -q CKR_PIN_INCORRECT "$work/refused.txt" || fail "a wrong password is not CKR_PIN_INCORRECT"
p11 --login --pin 'locked secret' --sign --id "$(cat "$work/locked.id")" --mechanism SHA256-RSA-PKCS --input-file "$work/message" \
  --output-file "$work/signature"
openssl dgst -sha256 -verify "$work/locked.pub" -signature "$work/signature" "$work/message"

echo "== pkcs11-tool --test"
p11 --test --login --pin 'locked secret' > "$work/selftest.txt" 2>&1 || { cat "$work/selftest.txt"; fail "pkcs11-tool --test"; }
grep -q "No errors" "$work/selftest.txt" || { cat "$work/selftest.txt"; fail "pkcs11-tool --test reported errors"; }

echo "== p11tool --list-all"
GNUTLS_PIN='locked secret' bounded p11tool --provider "$module" --login --list-all "pkcs11:" > "$work/p11tool.txt" 2>&1
grep -E 'Type:|Label:' "$work/p11tool.txt"
[ "$(grep -c 'Type: X.509 Certificate' "$work/p11tool.txt")" = 4 ] || fail "p11tool does not see 4 certificates"
[ "$(grep -c 'Type: Private key' "$work/p11tool.txt")" = 2 ] || fail "p11tool does not see 2 private keys"

echo "== TLS client authentication through the module"
uri="pkcs11:token=${token// /%20};object=plain;pin-value=locked%20secret"
for version in -tls1_2 -tls1_3; do
  start_server "$version"
  echo "-- openssl s_client $version, pkcs11 engine"
  printf 'GET / HTTP/1.0\r\n\r\n' | PKCS11_MODULE_PATH="$module" bounded openssl s_client -connect "127.0.0.1:$port" \
    "$version" -engine pkcs11 -keyform engine -key "$uri;type=private" -cert "$work/plain.pem" \
    -cert_chain "$work/chain.pem" -CAfile "$work/ca/root.pem" -verify_return_error -ign_eof \
    > "$work/s_client.log" 2>&1 || { cat "$work/s_client.log"; fail "s_client $version"; }
  # The server requires a client certificate that chains to the root (-Verify 1 -verify_return_error).
  grep -q "CN *= *plain" "$work/server.log" || { cat "$work/server.log"; fail "the server did not see 'plain'"; }

  echo "-- curl $version, pkcs11: URI"
  curl_version=$([ "$version" = -tls1_2 ] && echo --tlsv1.2 --tls-max 1.2 || echo --tlsv1.3)
  PKCS11_MODULE_PATH="$module" bounded curl --silent --show-error $curl_version --cacert "$work/ca/root.pem" \
    --engine pkcs11 --key-type ENG --key "$uri;type=private" --cert "$work/plain-chain.pem" \
    "https://127.0.0.1:$port/" > "$work/curl.html" || fail "curl $version"
done

echo "== EC keys of the key storage provider: 'ecplain' (P-256) without a password, 'eclocked' (P-384) with one"
enrol ecplain ec:p256
enrol eclocked ec:p384 --password-file "$work/password"
cat "$work/ecplain.pem" "$work/ca/intermediate.pem" > "$work/ecplain-chain.pem"
ec_sign() {  # NAME MECHANISM [pkcs11-tool options]: the signature as DER, verified with the certificate's key
  local name=$1 mechanism=$2
  shift 2
  p11 "$@" --sign --id "$(cat "$work/$name.id")" --mechanism "$mechanism" --signature-format openssl \
    --input-file "$work/message" --output-file "$work/signature"
}
# The token asks for a login now ('locked' has a password), so pkcs11-tool logs in before it signs.
for mechanism in ECDSA-SHA256 ECDSA-SHA384; do
  ec_sign ecplain "$mechanism" --login --pin 'locked secret'
  openssl dgst -"$(echo "${mechanism#ECDSA-}" | tr 'A-Z' 'a-z')" -verify "$work/ecplain.pub" \
    -signature "$work/signature" "$work/message" || fail "$mechanism signature of ecplain does not verify"
done
# Without the password the protected EC key is not there to sign with.
p11 --list-objects --type privkey > "$work/objects.txt" 2>&1
grep -q "label: *ecplain" "$work/objects.txt" || fail "no private key 'ecplain' without login"
if grep -q "label: *eclocked" "$work/objects.txt"; then fail "the protected EC key is visible without login"; fi
if ec_sign eclocked ECDSA-SHA256 --login --pin wrong > "$work/refused.txt" 2>&1; then
  fail "the protected EC key signed with a wrong password"
fi
grep -q CKR_PIN_INCORRECT "$work/refused.txt" || fail "a wrong password for the EC key is not CKR_PIN_INCORRECT"
ec_sign eclocked ECDSA-SHA384 --login --pin 'locked secret'
openssl dgst -sha384 -verify "$work/eclocked.pub" -signature "$work/signature" "$work/message" \
  || fail "the protected EC key's signature does not verify"

echo "== TLS client authentication with the EC keys through the module"
for version in -tls1_2 -tls1_3; do
  start_server "$version"
  for name in ecplain eclocked; do
    ec_uri="pkcs11:token=${token// /%20};object=$name;pin-value=locked%20secret;type=private"
    echo "-- openssl s_client $version, pkcs11 engine, $name"
    printf 'GET / HTTP/1.0\r\n\r\n' | PKCS11_MODULE_PATH="$module" bounded openssl s_client \
      -connect "127.0.0.1:$port" "$version" -engine pkcs11 -keyform engine -key "$ec_uri" -cert "$work/$name.pem" \
      -cert_chain "$work/chain.pem" -CAfile "$work/ca/root.pem" -verify_return_error -ign_eof \
      > "$work/s_client.log" 2>&1 || { cat "$work/s_client.log"; fail "s_client $version with $name"; }
    grep -q "CN *= *$name" "$work/server.log" || { cat "$work/server.log"; fail "the server did not see '$name'"; }
  done
  echo "-- curl $version, pkcs11: URI, ecplain"
  curl_version=$([ "$version" = -tls1_2 ] && echo --tlsv1.2 --tls-max 1.2 || echo --tlsv1.3)
  seen=$(grep -c "CN *= *ecplain" "$work/server.log")
  PKCS11_MODULE_PATH="$module" bounded curl --silent --show-error $curl_version --cacert "$work/ca/root.pem" \
    --engine pkcs11 --key-type ENG --key "pkcs11:token=${token// /%20};object=ecplain;type=private" \
    --cert "$work/ecplain-chain.pem" "https://127.0.0.1:$port/" > "$work/curl.html" || fail "curl $version with ecplain"
  [ "$(grep -c "CN *= *ecplain" "$work/server.log")" -gt "$seen" ] || fail "the server did not see 'ecplain' from curl"
done

echo "== headless Chromium with the password-protected RSA and EC keys: its NSS database's module has a pin-file"
# Without the password Chromium waits for its password dialog, which a
# headless browser never shows; the refusal is tested with pkcs11-tool above.
if [ -n "$policy" ]; then
  chmod 600 "$work/password"
  pin_db="$work/user-pin/.pki/nssdb"
  mkdir -p "$pin_db"
  bounded certutil -N --empty-password -d "sql:$pin_db" < /dev/null
  bounded modutil -force -add Tarvenholm -libfile "$module" -dbdir "sql:$pin_db" -string "pin-file=$work/password" \
    > /dev/null
  certutil -A -d "sql:$pin_db" -n "Tarvenholm Test Root" -t "C,," -i "$work/ca/root.pem"
  chromium_authenticates "$work/user-pin" locked -tls1_2
  chromium_authenticates "$work/user-pin" eclocked -tls1_3
else
  echo "SKIPPED: $policy_dir is not writable, so no certificate can be auto-selected"
fi

echo "pkcs11 peers: all steps passed in $((SECONDS - started)) s"
