#include "host/commands.h"

namespace tarvenholm::host {

const std::vector<CommandSpec>& commandSpecs() {
  static const std::vector<CommandSpec> specs = {
      {{"csp-list"},
       {{"--json", false}},
       0,
       0,
       "csp-list [--json]",
       "list the key providers the control offers",
       "Print the key providers the control offers, as its getCSPList gives them:\n"
       "each name followed by \"|\", all on one line.\n"
       "\n"
       "      --json           print {\"providers\": [{\"name\": NAME}, ...]} instead\n",
       runCspList},
      {{"request"},
       {{"--subject", true}, {"--key", true}, {"--hash", true}, {"--pss", false}, {"--single-rdn", false},
        {"--san", true}, {"--key-usage", true}, {"--eku", true}, {"--challenge-password-file", true},
        {"--renew", true}, {"--format", true}, {"--out", true}, {"--force", false}},
       0,
       0,
       "request --subject TEXT [--key rsa:3072|rsa:4096|rsa:2048|ec:p256|ec:p384]\n"
       "         [--hash sha256|sha384|sha512] [--pss] [--single-rdn] [--san KIND:VALUE]...\n"
       "         [--key-usage LIST] [--eku LIST] [--challenge-password-file FILE]\n"
       "         [--renew CONTAINER] [--format pem|der|base64] [--out FILE|-] [--force]",
       "enrol: make a key pair and a certificate request authorities accept",
       "The way to enrol. Have the control make a new key pair (or take the key of\n"
       "an existing container) and print a PKCS#10 certificate request signed with\n"
       "SHA-2, which \"openssl req -in\" reads directly.\n"
       "\n"
       "      --subject TEXT   the subject in RFC 4514 form, e.g. \"CN=Ana Ruiz,O=Example,C=MX\"\n"
       "                       (CN, O, OU, C, L, ST, E, SERIALNUMBER, GN, SN, DC, UID or\n"
       "                       dotted identifiers; the last RDN is encoded first), or as\n"
       "                       genreq's entries OID=VALUE separated by \";\"\n"
       "      --key KIND       rsa:3072 (default), rsa:4096, rsa:2048, ec:p256 or ec:p384\n"
       "      --hash NAME      sha256 (default), sha384, or sha512 (RSA keys only)\n"
       "      --pss            sign with RSASSA-PSS (RSA keys only)\n"
       "      --single-rdn     every subject attribute in one multi-valued RDN\n"
       "      --san KIND:VALUE a subject alternative name: email:, dns:, uri: or ip:\n"
       "                       (IPv4 or IPv6); repeat for more\n"
       "      --key-usage LIST keyUsage, e.g. digitalSignature,keyEncipherment\n"
       "      --eku LIST       extendedKeyUsage: serverAuth, clientAuth, codeSigning,\n"
       "                       emailProtection or dotted identifiers\n"
       "      --challenge-password-file FILE\n"
       "                       the challengePassword attribute, read from FILE\n"
       "      --renew CONTAINER\n"
       "                       a new request over the key of this container\n"
       "      --format FORMAT  pem (default), der or base64 (one line)\n"
       "      --out FILE       write the request to FILE (\"-\": standard output, the\n"
       "                       default); an existing FILE only with --force\n"
       "\n"
       "New keys go to the Tarvenholm Software Key Storage Provider; the container's\n"
       "name is said on standard error. Bad input is named on one line, with exit\n"
       "status 2, before any key is made.\n",
       runRequest},
      {{"genreq"},
       {{"--names", true}, {"--key-size", true}, {"--provider", true}},
       0,
       0,
       "genreq --names TEXT [--key-size N] [--provider NAME]",
       "the control's own genReq member, as an enrolment page calls it",
       "Have the control create a new key container holding a new RSA key pair,\n"
       "and print the PKCS#10 certificate request signed with it, as one line of\n"
       "base64.\n"
       "\n"
       "      --names TEXT     the subject: entries OID=VALUE separated by \";\", e.g.\n"
       "                       \"2.5.4.3=Ana Ruiz;2.5.4.10=Example;2.5.4.6=MX\"\n"
       "      --key-size N     the key size in bits: 512, 768, 1024, 1280, 1536, 1792\n"
       "                       or 2048 (default 2048)\n"
       "      --provider NAME  the key provider (default: Microsoft Enhanced\n"
       "                       Cryptographic Provider v1.0); see csp-list\n"
       "\n"
       "When no request can be made nothing is printed on standard output, and the\n"
       "control says why on standard error.\n",
       runGenreq},
      {{"setcert"},
       {},
       0,
       1,
       "setcert [FILE | -]",
       "install issued certificates and their chain",
       "Install the certificates an authority issued for a request made with\n"
       "genreq: the user's certificate goes to MY, bound to its key container, the\n"
       "authority's certificates to CA and ROOT. Reads FILE, or standard input\n"
       "when FILE is \"-\" or absent, holding one of:\n"
       "  - the base64 text of a PKCS#7 collection (armour lines allowed)\n"
       "  - a binary DER PKCS#7 collection (.p7b) or DER certificate\n"
       "  - PEM text with one or more CERTIFICATE blocks\n"
       "\n"
       "Prints the control's result code: 2000 when the certificates were installed.\n",
       runSetcert},
      {{"store", "list"},
       {{"--json", false}},
       1,
       1,
       "store list MY|CA|ROOT [--json]",
       "list the certificates of a store",
       "Print one line per certificate of the store, in the store's order: the\n"
       "SHA-1 thumbprint (40 upper-case hexadecimal digits), a tab, and the subject\n"
       "as \"openssl x509 -noout -subject -nameopt RFC2253,-esc_msb\" shows it; in\n"
       "MY, for a certificate bound to a key container, a tab, the container and a\n"
       "tab, the provider.\n"
       "\n"
       "      --json           print one JSON document instead: {\"store\": NAME,\n"
       "                       \"certificates\": [{\"thumbprint\", \"subject\"}, ...]},\n"
       "                       in MY each also with \"container\" and \"provider\"\n"
       "                       (null when not bound)\n",
       runStoreList},
      {{"store", "export"},
       {{"--out", true}, {"--export-password-file", true}},
       1,
       1,
       "store export THUMBPRINT --out FILE [--export-password-file FILE]",
       "export a certificate and its key as PKCS#12",
       "Write the certificate of MY with this thumbprint, its chain from CA and\n"
       "ROOT, and its private key to FILE as PKCS#12, under a password asked on\n"
       "the terminal (twice) or read from --password-file. A key that was not\n"
       "generated exportable is refused. A key protected by a password of its\n"
       "own asks for it as well. The key and certificate carry the subject's\n"
       "common name (else the container's name) as their friendly name.\n"
       "THUMBPRINT may also be written with colons, as \"openssl x509 -fingerprint\"\n"
       "prints it.\n"
       "\n"
       "      --out FILE       the file to write (readable by its owner only);\n"
       "                       \"-\": standard output\n"
       "      --export-password-file FILE\n"
       "                       the file's password from the first line of FILE;\n"
       "                       --password-file then serves only the key\n",
       runStoreExport},
      {{"store", "delete"},
       {},
       2,
       2,
       "store delete MY|CA|ROOT THUMBPRINT",
       "delete a certificate from a store",
       "Take the certificate with this thumbprint out of the store. Its key\n"
       "container stays (see keys delete). THUMBPRINT may also be written with\n"
       "colons, as \"openssl x509 -fingerprint\" prints it.\n",
       runStoreDelete},
      {{"store", "import"},
       {},
       1,
       1,
       "store import FILE.p12",
       "import a PKCS#12 file: key, certificate and chain",
       "Put the private key of a PKCS#12 file into a new key container of the\n"
       "default provider (RSA keys only), its certificate into MY bound to that\n"
       "container, and the other certificates into ROOT (self-signed) or CA. The\n"
       "file's password is asked on the terminal or read from --password-file;\n"
       "the new key is protected as genreq protects a key, and can be exported\n"
       "again. A certificate already in MY bound to a key is refused.\n",
       runStoreImport},
      {{"keys", "list"},
       {{"--json", false}},
       0,
       0,
       "keys list [--json]",
       "list the user's key containers",
       "Print one line per key container of the user: its name, a tab, the\n"
       "provider that made it, a tab, the key size in bits, a tab, and the\n"
       "thumbprint of the certificate of MY bound to it, or \"-\". A container\n"
       "without a key pair (a failed genreq leaves one) shows \"-\" as its size\n"
       "and a fifth field, \"no-key-pair\"; delete it with keys delete.\n"
       "\n"
       "      --json           print one JSON document instead: {\"containers\":\n"
       "                       [{\"name\", \"provider\", \"keyPair\" (true or false),\n"
       "                       \"bits\" (null without a key pair), \"certificate\"\n"
       "                       (null when none)}, ...]}\n",
       runKeysList},
      {{"keys", "delete"},
       {{"--with-certificate", false}, {"--provider", true}},
       1,
       1,
       "keys delete CONTAINER [--with-certificate] [--provider NAME]",
       "delete a key container",
       "Delete the key container and the key records that point at it. A\n"
       "container whose certificate is still in MY is refused unless\n"
       "--with-certificate is given, which deletes that certificate as well.\n"
       "\n"
       "      --with-certificate  also delete the certificates of MY bound to it\n"
       "      --provider NAME     the provider that made it, when containers of\n"
       "                          several providers have this name\n",
       runKeysDelete},
      {{"register"},
       {},
       0,
       0,
       "register",
       "register the control's module",
       "Register the control's module and its type library (DllRegisterServer).\n",
       runRegister},
      {{"unregister"},
       {},
       0,
       0,
       "unregister",
       "unregister the control's module",
       "Remove the control's registration (DllUnregisterServer).\n",
       runUnregister},
      {{"nssdb", "add"},
       {{"--dbdir", true}},
       0,
       0,
       "nssdb add [--dbdir DIR]",
       "make the keys usable in NSS programs (Chromium)",
       "Add the PKCS#11 module that shows the user's certificates and keys to an\n"
       "NSS database with modutil, so that programs reading it (Chromium, and\n"
       "Firefox with that profile) can use the keys. A missing database is\n"
       "created first, without a password (certutil -N).\n"
       "\n"
       "      --dbdir DIR      the database directory (default: ~/.pki/nssdb)\n",
       runNssdbAdd},
  };
  // The commands of other files follow, in the order of their groups.
  static const std::vector<CommandSpec> all = [] {
    std::vector<CommandSpec> joined = specs;
    for (const CommandSpec& spec : bridgeCommandSpecs()) joined.push_back(spec);
    return joined;
  }();
  return all;
}

std::vector<const CommandSpec*> commandsUnder(const std::vector<std::string>& words) {
  std::vector<const CommandSpec*> found;
  for (const CommandSpec& spec : commandSpecs()) {
    if (words.size() > spec.words.size()) continue;
    bool matches = true;
    for (std::size_t index = 0; index < words.size(); ++index) matches = matches && words[index] == spec.words[index];
    if (matches) found.push_back(&spec);
  }
  return found;
}

}  // namespace tarvenholm::host
