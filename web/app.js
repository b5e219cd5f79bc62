// The page: text converted as it is typed, on this thread; files converted
// in a worker (worker.js), in pieces, with a progress bar and a download.
import { FILTERS, convert } from './tobble/index.js';

const $ = (id) => document.getElementById(id);
const filterSelect = $('filter');
const input = $('input');
const output = $('output');

// Each filter's way back: an encoder's decoder and a decoder's encoder.
const INVERSE = {
  tobbleJ: 'untobbleJ',
  untobbleJ: 'tobbleJ',
  tobbleC: 'untobbleC',
  untobbleC: 'tobbleC',
  text2charref: 'charref2text',
  text2charrefx: 'charref2text',
  charref2text: 'text2charref',
  URLencode: 'URLdecode',
  URLdecode: 'URLencode',
};

for (const filter of FILTERS) {
  const option = document.createElement('option');
  option.value = filter.name;
  option.textContent = filter.nameEn === filter.name ? filter.name : `${filter.nameEn} (${filter.name})`;
  filterSelect.append(option);
}
const remembered = localStorage.getItem('tobble.filter');
if (FILTERS.some((f) => f.name === remembered)) filterSelect.value = remembered;

function showExample() {
  const filter = FILTERS.find((f) => f.name === filterSelect.value);
  const example = $('example');
  example.textContent = 'For example ';
  const from = document.createElement('code');
  from.textContent = filter.example;
  const to = document.createElement('code');
  to.textContent = convert(filter.name, filter.example);
  example.append(from, ' → ', to);
}

const LONE_SURROGATE = /[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/g;

function update() {
  output.value = convert(filterSelect.value, input.value);
  const status = $('text-status');
  const lone = [...output.value.matchAll(LONE_SURROGATE)];
  if (lone.length > 0) {
    status.className = 'status bad';
    status.textContent =
      `The result holds ${lone.length} lone surrogate${lone.length === 1 ? '' : 's'}, the first at ` +
      `character ${lone[0].index + 1}: kept when copied, written as U+FFFD in a UTF-8 download.`;
  } else {
    status.className = 'status';
    status.textContent = '';
  }
}

function chooseFilter() {
  localStorage.setItem('tobble.filter', filterSelect.value);
  showExample();
  update();
}

filterSelect.addEventListener('change', chooseFilter);
input.addEventListener('input', update);
$('swap').addEventListener('click', () => {
  filterSelect.value = INVERSE[filterSelect.value];
  input.value = output.value;
  chooseFilter();
  input.focus();
});
$('copy').addEventListener('click', async () => {
  const status = $('text-status');
  try {
    await navigator.clipboard.writeText(output.value);
  } catch {
    output.select();
    document.execCommand('copy');
  }
  status.className = 'status good';
  status.textContent = 'Copied.';
});
$('save-text').addEventListener('click', () => {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([output.value], { type: 'text/plain;charset=utf-8' }));
  link.download = `result.${filterSelect.value}.txt`;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
});

for (const element of [filterSelect, input, $('swap')]) element.disabled = false;
chooseFilter();

// ---------------------------------------------------------------------------
// Files

const progress = $('progress');
const fileStatus = $('file-status');
const download = $('download');
const invalid = $('invalid');
const cancel = $('cancel');
let worker = null;
let downloadUrl = null;

const number = new Intl.NumberFormat('en');
function size(bytes) {
  if (bytes < 1024) return `${bytes} bytes`;
  const units = ['KiB', 'MiB', 'GiB'];
  let value = bytes / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit++;
  }
  return `${value.toFixed(1)} ${units[unit]}`;
}

function hex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join(' ');
}

function setStatus(text, kind = '') {
  fileStatus.className = `status ${kind}`;
  fileStatus.textContent = text;
}

function stop() {
  worker?.terminate();
  worker = null;
  progress.hidden = true;
  cancel.hidden = true;
}

function offerDownload(blob, name) {
  if (downloadUrl) URL.revokeObjectURL(downloadUrl);
  downloadUrl = URL.createObjectURL(blob);
  download.href = downloadUrl;
  download.download = name;
  download.textContent = `Download ${name} (${size(blob.size)})`;
  download.hidden = false;
}

function outputName(name, filter) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? `${name.slice(0, dot)}.${filter}${name.slice(dot)}` : `${name}.${filter}`;
}

function convertFile(file) {
  stop();
  download.hidden = true;
  invalid.hidden = true;
  const filter = filterSelect.value;
  const encoding = $('encoding').value;
  const errors = $('replace').checked ? 'replace' : 'strict';
  const started = performance.now();
  progress.value = 0;
  progress.hidden = false;
  cancel.hidden = false;
  setStatus(`Converting ${file.name} (${size(file.size)}) with ${filter}…`);
  worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
  worker.onmessage = ({ data }) => {
    if (data.type === 'progress') {
      progress.value = file.size === 0 ? 1 : data.done / file.size;
      return;
    }
    stop();
    const name = outputName(file.name, filter);
    if (data.type === 'done') {
      const seconds = (performance.now() - started) / 1000;
      let text = `Done: ${size(data.bytesIn)} in, ${size(data.bytesOut)} out, in ${seconds.toFixed(1)} s.`;
      if (data.replacedInput > 0) text += ` ${number.format(data.replacedInput)} invalid sequences written as U+FFFD.`;
      if (data.replacedSurrogates > 0) text += ` ${number.format(data.replacedSurrogates)} lone surrogates written as U+FFFD.`;
      setStatus(text, 'good');
      offerDownload(data.blob, name);
    } else if (data.type === 'invalid') {
      setStatus(
        `Invalid ${data.encoding} at byte ${number.format(data.offset)}${data.why}. ` +
          'Tick "Replace invalid input" to convert past it, or download what came before it.',
        'bad',
      );
      invalid.textContent = `byte ${number.format(data.offset - data.before.length)}: ${hex(data.before)} `;
      const mark = document.createElement('mark');
      mark.textContent = hex(data.at);
      invalid.append(mark, ` ${hex(data.after)}`);
      invalid.hidden = false;
      offerDownload(data.blob, name);
      download.textContent = `Download the part before byte ${number.format(data.offset)} (${size(data.blob.size)})`;
    } else {
      setStatus(`Could not convert ${file.name}: ${data.message}`, 'bad');
    }
  };
  worker.onerror = (event) => {
    stop();
    setStatus(`Could not convert ${file.name}: ${event.message}`, 'bad');
  };
  worker.postMessage({ file, filter, encoding, errors });
}

cancel.addEventListener('click', () => {
  stop();
  setStatus('Cancelled.');
});
$('file').addEventListener('change', (event) => {
  if (event.target.files.length > 0) convertFile(event.target.files[0]);
  event.target.value = '';
});
const drop = $('drop');
for (const type of ['dragenter', 'dragover']) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
}
document.addEventListener('dragleave', (event) => {
  if (event.relatedTarget === null) drop.classList.remove('over');
});
document.addEventListener('drop', (event) => {
  event.preventDefault();
  drop.classList.remove('over');
  const [file] = event.dataTransfer.files;
  if (file) convertFile(file);
});
document.body.dataset.ready = 'true';
