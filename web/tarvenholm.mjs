// tarvenholm.js as an ES module: import { Tarvenholm } from "./tarvenholm.mjs".
import "./tarvenholm.js";

export const Tarvenholm = globalThis.Tarvenholm;
export default Tarvenholm;
