// The page library: readCard() asks the Vellicor extension for one card read.
// Until the extension answers pages, every read reports it missing.
export function readCard() {
    return Promise.resolve({ status: "no_extension" });
}
