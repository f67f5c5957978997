# Checks each PEM certification request named on the command line with
# python-cryptography and prints, per file, whether its signature is valid
# and the subject's attributes with their string types: RDNs in encoding
# order, the attributes of one RDN (a set, iterated in no fixed order) by
# identifier and string tag.
import sys

from cryptography import x509

for name in sys.argv[1:]:
    with open(name, "rb") as file:
        request = x509.load_pem_x509_csr(file.read())
    attributes = ",".join(
        f"{attribute.oid.dotted_string}:{attribute._type.name}"
        for rdn in request.subject.rdns
        for attribute in sorted(rdn, key=lambda a: (a.oid.dotted_string, a._type.value))
    )
    print(name, request.is_signature_valid, len(request.subject.rdns), attributes)
