// A third-party SW-P-08 client (npm's probel-swp-08) against matrixd: reads the routes and
// the source names, routes one video crosspoint, and prints what it found. Exit code 0 when
// every call came back within its time.
const Probel = require("probel-swp-08");

const [host, port] = process.argv.slice(2);
const probel = new Probel(host, { port: Number(port), extended: true, levels: 17 });

function within(ms, what, promise) {
    return Promise.race([
        promise,
        new Promise((_, reject) => setTimeout(() => reject(new Error(what + " timed out")), ms)),
    ]);
}

const main = async () => {
    const state = await within(30000, "getState", probel.getState());
    console.log("state: " + JSON.stringify(state).slice(0, 200));
    const sources = await within(30000, "getSourceNames", probel.getSourceNames());
    for (const [number, name] of Object.entries(sources)) {
        console.log("source " + number + ": " + String(name).trim());
    }
    await within(30000, "route", probel.route(1, 4, 5));
    console.log("routed");
};

main().then(
    () => process.exit(0),
    (error) => {
        console.error(String(error));
        process.exit(1);
    },
);
