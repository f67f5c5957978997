# Checks each PEM certification request named on the command line with
# python-cryptography and prints, per file, whether its signature is valid
# and the subject's attributes with their string types, in encoding order.
import sys

from cryptography import x509

for name in sys.argv[1:]:
    with open(name, "rb") as file:
        request = x509.load_pem_x509_csr(file.read())
    attributes = ",".join(
        f"{attribute.oid.dotted_string}:{attribute._type.name}"
        for rdn in request.subject.rdns
        for attribute in rdn
    )
    print(name, request.is_signature_valid, len(request.subject.rdns), attributes)
