// Starts the built-in crawl or flip (?mode=flip) and the title strip; ?css=NAME adds the
// station's stylesheet NAME from the templates folder.
'use strict';

(() => {
  const css = ticker.params.get('css');
  if (css) {
    const link = document.createElement('link');
    link.rel = 'stylesheet';
    link.href = '/templates/' + encodeURIComponent(css);
    document.head.append(link);
  }
  const status = document.getElementById('ticker-status');
  ticker.onstatus(text => {
    status.textContent = text;
    status.hidden = !text;
  });
  const strip = document.getElementById('titles');
  const showTitles = titles => {
    if (!titles.length) return;
    // The list names the upcoming sections, one entry per group: show each title once.
    strip.replaceChildren(...[...new Set(titles)].slice(0, 3).map(t => {
      const title = document.createElement('span');
      title.className = 'title';
      title.textContent = t;
      return title;
    }));
  };
  const stage = document.getElementById('stage');
  if (ticker.params.get('mode') === 'flip') runFlip(stage, showTitles);
  else runCrawl(stage, showTitles);
})();
