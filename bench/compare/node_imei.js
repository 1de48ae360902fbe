// node-imei's side of bench/compare.sh, through its public API only.
//
// usage: node node_imei.js MODULE_DIR validate INPUTS VERDICTS
//        node node_imei.js MODULE_DIR random COUNT OUTPUT
//
// MODULE_DIR is the node_modules folder node-imei was installed into. Loops are repeated as
// vettrix_compare repeats its own (at least 3 passes and 1.5 s, the median pass reported).

'use strict';

const fs = require('fs');
const path = require('path');

const MIN_PASSES = 3;
const MAX_PASSES = 1000;
const MIN_SECONDS = 1.5;

function medianPass(pass) {
  const times = [];
  let total = 0;
  while (times.length < MAX_PASSES && (times.length < MIN_PASSES || total < MIN_SECONDS)) {
    const start = process.hrtime.bigint();
    pass();
    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
    times.push(seconds);
    total += seconds;
  }
  times.sort((a, b) => a - b);
  return {seconds: times[Math.floor(times.length / 2)], passes: times.length};
}

function report(version, operation, items, timing) {
  console.log(JSON.stringify({
    tool: 'node-imei ' + version,
    operation,
    items,
    passes: timing.passes,
    seconds: timing.seconds,
    per_second: items / timing.seconds,
  }));
}

function main() {
  const [moduleDir, mode, arg, output] = process.argv.slice(2);
  const IMEI = require(path.join(moduleDir, 'node-imei'));
  const version = require(path.join(moduleDir, 'node-imei', 'package.json')).version;
  const imei = new IMEI();

  if (mode === 'validate') {
    const inputs = fs.readFileSync(arg, 'ascii').split('\n').filter((line) => line.length > 0);
    const verdicts = new Array(inputs.length);
    const timing = medianPass(() => {
      for (let i = 0; i < inputs.length; ++i) verdicts[i] = imei.isValid(inputs[i]);
    });
    fs.writeFileSync(output, verdicts.map((v) => (v ? '1\n' : '0\n')).join(''));
    report(version, 'validate: isValid', inputs.length, timing);
  } else if (mode === 'random') {
    const count = Number(arg);
    const made = new Array(count);
    const timing = medianPass(() => {
      for (let i = 0; i < count; ++i) made[i] = imei.random();
    });
    fs.writeFileSync(output, made.map((m) => String(m) + '\n').join(''));
    report(version, 'generate: random() (check digit computed)', count, timing);
  } else {
    console.error('unknown mode ' + mode);
    process.exit(2);
  }
}

main();
