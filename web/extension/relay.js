// What the extension sends the native host for a page's call: only the
// call's own fields, and the page's origin as the browser reports it for the
// sending frame. Whatever the page says about its origin is not used.
export const HOST_NAME = "org.tarvenholm.bridge";

export function originOf(sender) {
  if (typeof sender?.origin === "string" && sender.origin !== "") return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return "null";
  }
}

export function nativeMessageFor(call, sender) {
  return {
    id: call?.id ?? null,
    method: call?.method,
    params: call?.params,
    properties: call?.properties,
    origin: originOf(sender),
  };
}
