// Keeps a visit log in an SQLite database: each start of the page opens "example.db",
// creates its table when missing, inserts a row and lists the latest rows.
(function () {
  'use strict';

  function sqlite(action, args) {
    return new Promise(function (resolve, reject) {
      harbor.require('harbor/exec')(resolve, reject, 'SQLitePlugin', action, [args]);
    });
  }

  function show(text, failed) {
    var state = document.getElementById('sqlite-state');
    state.textContent = text;
    state.className = failed ? 'failed' : 'ok';
  }

  document.addEventListener('deviceready', function () {
    var db = { dbname: 'example.db' };
    sqlite('open', { name: 'example.db', dblocation: 'docs' }).then(function () {
      return sqlite('backgroundExecuteSqlBatch', { dbargs: db, executes: [
        { sql: 'CREATE TABLE IF NOT EXISTS visits (id INTEGER PRIMARY KEY, at TEXT NOT NULL)', params: [] },
        { sql: 'INSERT INTO visits (at) VALUES (?)', params: [new Date().toISOString()] }
      ] });
    }).then(function (entries) {
      var failed = entries.filter(function (entry) { return entry.type !== 'success'; });
      if (failed.length) throw failed[0].error;
      return sqlite('executeSql', { dbargs: db, ex: {
        sql: 'SELECT id, at FROM visits ORDER BY id DESC LIMIT 5', params: [] } });
    }).then(function (result) {
      var list = document.getElementById('sqlite-rows');
      result.rows.forEach(function (row) {
        var item = document.createElement('li');
        item.textContent = '#' + row.id + ' at ' + row.at;
        list.appendChild(item);
      });
      show('Visit ' + result.rows[0].id + ' recorded', false);
      return sqlite('close', db);
    }).catch(function (error) {
      show('failed: ' + JSON.stringify(error), true);
    });
  });
})();
