# Sourced by the Wine TLS tests: a work folder that goes at exit (with every
# process whose pid is added to `pids`), and in it a CA (ca.pem) and three
# server certificates for im.kelvo.test, all RSA: good.pem (signed by the
# CA, also for 127.0.0.1), expired.pem (the same key, expired yesterday) and
# self.pem (self-signed, not trusted), with their keys; `pin FILE` prints a
# certificate's SHA-256 public-key pin. Needs the openssl command.
#
#   . test_certificates.sh NAME      (the folder is kelvo-NAME.XXXXXX, and the
#                                     current directory afterwards)
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-$1.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
# Ended by a signal (ctest's timeout, an interrupted run): clean up all the same.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
cd "$work"

# RSA, not ECDSA: Wine's certificate chain engine now and then finds a
# sound ECDSA signature bad (twice in about forty runs of these tests here,
# on both architectures), which fails a pinned or CA-signed connection.
key=(-newkey rsa:2048 -nodes)
openssl req -x509 "${key[@]}" -keyout ca.key -out ca.pem -subj "/CN=Kelvo Test CA" -days 30 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  2>/dev/null
openssl req -new "${key[@]}" -keyout leaf.key -out leaf.csr -subj "/CN=im.kelvo.test" 2>/dev/null
printf '%s\n' "basicConstraints=critical,CA:FALSE" "extendedKeyUsage=serverAuth" \
  "subjectAltName=DNS:im.kelvo.test,IP:127.0.0.1" >leaf.ext
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 30 \
  -extfile leaf.ext -out good.pem 2>/dev/null
# -1 day: valid from now until yesterday, i.e. expired.
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -set_serial 3 -days -1 \
  -extfile leaf.ext -out expired.pem 2>/dev/null
openssl req -x509 "${key[@]}" -keyout self.key -out self.pem -subj "/CN=im.kelvo.test" -days 30 \
  -addext "subjectAltName=DNS:im.kelvo.test" -addext "extendedKeyUsage=serverAuth" 2>/dev/null
pin() {
  openssl x509 -in "$1" -pubkey -noout | openssl pkey -pubin -outform der |
    openssl dgst -sha256 -hex | sed 's/^.* //'
}
