// Checks the signature of each PEM certification request named on the
// command line with Go's crypto/x509; prints "OK <file>" or the failure.
package main

import (
	"crypto/x509"
	"encoding/pem"
	"fmt"
	"os"
)

func main() {
	failed := false
	for _, name := range os.Args[1:] {
		text, err := os.ReadFile(name)
		if err != nil {
			fmt.Println("FAIL", name, err)
			failed = true
			continue
		}
		block, _ := pem.Decode(text)
		if block == nil {
			fmt.Println("FAIL", name, "no PEM block")
			failed = true
			continue
		}
		request, err := x509.ParseCertificateRequest(block.Bytes)
		if err == nil {
			err = request.CheckSignature()
		}
		if err != nil {
			fmt.Println("FAIL", name, err)
			failed = true
			continue
		}
		fmt.Println("OK", name, request.SignatureAlgorithm, len(request.DNSNames), len(request.EmailAddresses),
			len(request.IPAddresses), len(request.URIs))
	}
	if failed {
		os.Exit(1)
	}
}
