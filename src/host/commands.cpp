#include "host/commands.h"

namespace tarvenholm::host {

const std::vector<CommandSpec>& commandSpecs() {
  static const std::vector<CommandSpec> specs = {
      {{"csp-list"},
       {},
       0,
       0,
       "csp-list",
       "list the key providers the control offers",
       "Print the key providers the control offers, as its getCSPList gives them:\n"
       "each name followed by \"|\", all on one line.\n",
       runCspList},
      {{"genreq"},
       {{"--names", true}, {"--key-size", true}, {"--provider", true}},
       0,
       0,
       "genreq --names TEXT [--key-size N] [--provider NAME]",
       "make a key pair and a certificate request",
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
       {},
       1,
       1,
       "store list MY|CA|ROOT",
       "list the certificates of a store",
       "Print one line per certificate of the store, in the store's order: the\n"
       "SHA-1 thumbprint (40 upper-case hexadecimal digits), a tab, and the subject\n"
       "as \"openssl x509 -noout -subject -nameopt RFC2253,-esc_msb\" shows it; in\n"
       "MY, for a certificate bound to a key container, a tab, the container and a\n"
       "tab, the provider.\n",
       runStoreList},
      {{"store", "export"},
       {{"--out", true}},
       1,
       1,
       "store export THUMBPRINT --out FILE",
       "export a certificate and its key as PKCS#12",
       "Write the certificate of MY with this thumbprint, its chain from CA and\n"
       "ROOT, and its private key to FILE as PKCS#12, under a password asked on\n"
       "the terminal (twice) or read from --password-file. A key that was not\n"
       "generated exportable is refused. A key protected by a password of its\n"
       "own asks for it as well.\n"
       "\n"
       "      --out FILE       the file to write (readable by its owner only)\n",
       runStoreExport},
      {{"keys", "list"},
       {},
       0,
       0,
       "keys list",
       "list the user's key containers",
       "Print one line per key container of the user: its name, a tab, the\n"
       "provider that made it, a tab, the key size in bits, a tab, and the\n"
       "thumbprint of the certificate of MY bound to it, or \"-\".\n",
       runKeysList},
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
