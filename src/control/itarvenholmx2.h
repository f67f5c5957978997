// ITarvenholmX2: the control's second dual interface. It extends
// ITarvenholmX (whose identifier, members, DISPIDs and function table stay
// as they were) with the modern request members; it is the class's default
// interface from type library version 1.1 on. QueryInterface answers both
// identifiers with the same object.
//
// Members (per control instance; reads give what was put, or the default):
//   keyAlgorithm       BSTR  get/put  "rsa:3072" (default), "rsa:2048", "rsa:4096", "ec:p256", "ec:p384"
//   hashAlgorithm      BSTR  get/put  "sha256" (default), "sha384", "sha512" (RSA only)
//   usePss             BOOL  get/put  RSASSA-PSS (MGF1 with the same hash), RSA only; default false
//   singleRdn          BOOL  get/put  the subject as one multi-valued RDN; default false (one attribute per RDN)
//   subjectAltNames    BSTR  get/put  entries "email:..", "dns:..", "uri:..", "ip:.." separated by line breaks
//   keyUsage           BSTR  get/put  comma list: digitalSignature, nonRepudiation, keyEncipherment, ...
//   extKeyUsage        BSTR  get/put  comma list: serverAuth, clientAuth, codeSigning, emailProtection, dotted OIDs
//   challengePassword  BSTR  put      the challengePassword attribute; empty: none
//   renewContainer     BSTR  get/put  a container whose key the next request is made over; empty: a new key
//   createRequest(subject) -> BSTR    subject in RFC 4514 or "OID=value;..." form; the DER request as
//                                     one line of base64. Bad input: E_INVALIDARG with error information
//                                     naming the fault (nothing created); a platform failure: E_FAIL with
//                                     its description.
//   requestContainer   BSTR  get      container of the last request made ("" before any)
//   requestProvider    BSTR  get      its provider
#pragma once

#include "control/itarvenholmx.h"

namespace tarvenholm {

namespace dispid {
constexpr DISPID keyAlgorithm = 22;
constexpr DISPID hashAlgorithm = 23;
constexpr DISPID usePss = 24;
constexpr DISPID singleRdn = 25;
constexpr DISPID subjectAltNames = 26;
constexpr DISPID keyUsage = 27;
constexpr DISPID extKeyUsage = 28;
constexpr DISPID challengePassword = 29;
constexpr DISPID renewContainer = 30;
constexpr DISPID createRequest = 31;
constexpr DISPID requestContainer = 32;
constexpr DISPID requestProvider = 33;
}  // namespace dispid

struct ITarvenholmX2 : ITarvenholmX {
  virtual HRESULT STDMETHODCALLTYPE get_keyAlgorithm(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_keyAlgorithm(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_hashAlgorithm(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_hashAlgorithm(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_usePss(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_usePss(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_singleRdn(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_singleRdn(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_subjectAltNames(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_subjectAltNames(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_keyUsage(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_keyUsage(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_extKeyUsage(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_extKeyUsage(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_challengePassword(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_renewContainer(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_renewContainer(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE createRequest(BSTR subject, BSTR* req) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_requestContainer(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_requestProvider(BSTR* Value) = 0;
};

}  // namespace tarvenholm

PLATFORM_INTERFACE_ID(tarvenholm::ITarvenholmX2, tarvenholm::IID_ITarvenholmX2)
